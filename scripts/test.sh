#!/bin/sh
# The test command: installs what is missing, builds twice and runs every test through CTest.
#   build/      g++, the whole product with the Qt client; every test but the fuzzers
#               (GUI tests on the offscreen Qt platform).
#   build-san/  clang with AddressSanitizer and UndefinedBehaviorSanitizer, no GUI: the
#               non-GUI tests again, and each libFuzzer target for a bounded time.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh

JOBS=${KEST_JOBS:-2}
export QT_QPA_PLATFORM=offscreen

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$JOBS"
(cd build && ctest --output-on-failure -j"$JOBS" --timeout 900)

CC=clang CXX=clang++ cmake -S . -B build-san -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DKEST_GUI=OFF -DKEST_SANITIZE=ON -DKEST_FUZZ=ON -DKEST_BENCH=OFF
cmake --build build-san -j"$JOBS"
(cd build-san && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --output-on-failure -j"$JOBS" --timeout 900)
echo "All tests passed."
