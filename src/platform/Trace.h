#pragma once
// Trace lines: one line to stderr with a time stamp, printf-style. Traces carry no behaviour.

namespace platform {

void trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Tests silence traces; the programs leave them on.
void setTraceEnabled(bool enabled);

}  // namespace platform
