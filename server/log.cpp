// The log writer: lines are serialised by one mutex so concurrent sessions never interleave.
#include "log.h"

#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

namespace kestd {
namespace {
std::mutex gMutex;
std::function<void(std::string_view)> gSink;
}  // namespace

void setLogSink(std::function<void(std::string_view)> sink) {
    std::lock_guard lock(gMutex);
    gSink = std::move(sink);
}

void logLine(std::string_view line) {
    std::lock_guard lock(gMutex);
    if (gSink) {
        gSink(line);
        return;
    }
    time_t now = time(nullptr);
    struct tm tm {};
    localtime_r(&now, &tm);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
    fprintf(stderr, "%s kestd: %.*s\n", stamp, static_cast<int>(line.size()), line.data());
}

}  // namespace kestd
