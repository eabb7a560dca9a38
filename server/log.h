// kestd's log: one line per event on standard error (journald picks it up), with the time.
// Lines never hold a password. Tests may redirect the lines to a sink of their own.
#pragma once

#include <functional>
#include <string_view>

namespace kestd {

void logLine(std::string_view line);
// Replaces where lines go (nullptr: standard error again).
void setLogSink(std::function<void(std::string_view)> sink);

}  // namespace kestd
