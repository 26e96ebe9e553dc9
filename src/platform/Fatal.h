#pragma once
// The one way code reports its own misuse: a broken precondition that no input, device or
// network event can cause. It prints the message, which starts with who was misused
// ("AsyncTcpSocket: ..."), as a line on stderr and aborts, so it is the last line before the crash.
// Failures of the world go through Error (see Error.h) instead.

namespace platform {

[[noreturn]] void fatal(const char* message);

// fatal(message) unless condition holds.
inline void fatalUnless(bool condition, const char* message) {
    if (!condition) fatal(message);
}

}  // namespace platform
