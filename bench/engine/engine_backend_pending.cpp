// Stand-in used while engine286's cursors and commits are not part of the library: the
// benchmark then runs the other stores only and says so.
#include "bench_backend.h"

std::unique_ptr<BenchBackend> makeEngineBackend() {
    return nullptr;
}
