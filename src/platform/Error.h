#pragma once
// The error object that every failing call hands back: a domain, a numeric code and texts.
//
// The error contract, for every layer:
// - A failure of the world (a device gone, a refused connection, a malformed file, a full disk)
//   is an answer, not a crash: the call returns false or an empty value and fills the Error* it
//   was given (through setError, so a null pointer is allowed).
// - Misuse by code (a broken precondition no input can cause) aborts through platform::fatal
//   (platform/Fatal.h), which prints what was misused first.
// - Only the window side turns an Error into an alert or a status text: the windows, and the
//   link's controller side (StartMainView and the panels of GCData), which is one with the main
//   window. The layers below hand errors up and never show them.
// - Names and quoted texts (domains, user-info keys, descriptions) are the system's own and are
//   kept exactly, spelling included.

#include <any>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace platform {

using Bytes = std::vector<uint8_t>;

// Well-known user-info keys.
inline constexpr const char* kLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr const char* kLocalizedFailureReasonKey = "NSLocalizedFailureReason";
inline constexpr const char* kUnderlyingErrorKey = "NSUnderlyingError";

// Domain of failed system calls; the code is errno.
inline constexpr const char* kPosixErrorDomain = "NSPOSIXErrorDomain";

struct Error {
    std::string domain;
    long code = 0;
    std::string description;    // what went wrong, for the user
    std::string failureReason;  // why, where known
    std::map<std::string, std::any> userInfo;

    bool operator==(const Error& other) const {
        return domain == other.domain && code == other.code && description == other.description;
    }

    // "domain code: description" for trace lines and test failures.
    std::string toString() const;

    static Error make(std::string domain, long code, std::string description, std::string failureReason = {});
    // An error in the POSIX domain for errnum, described by strerror and, when given, the reason.
    static Error posix(int errnum, std::string reason = {});
};

// Fills an optional out-parameter; a null pointer is ignored.
inline void setError(Error* out, Error error) {
    if (out) *out = std::move(error);
}

}  // namespace platform
