#include "platform/Error.h"

#include <cstring>

namespace platform {

std::string Error::toString() const {
    std::string text = domain + " " + std::to_string(code) + ": " + description;
    if (!failureReason.empty()) text += " (" + failureReason + ")";
    return text;
}

Error Error::make(std::string domain, long code, std::string description, std::string failureReason) {
    Error e;
    e.domain = std::move(domain);
    e.code = code;
    e.description = std::move(description);
    e.failureReason = std::move(failureReason);
    if (!e.description.empty()) e.userInfo[kLocalizedDescriptionKey] = e.description;
    if (!e.failureReason.empty()) e.userInfo[kLocalizedFailureReasonKey] = e.failureReason;
    return e;
}

Error Error::posix(int errnum, std::string reason) {
    char buffer[256];
    // GNU strerror_r may return a static string instead of filling the buffer.
    const char* text = strerror_r(errnum, buffer, sizeof buffer);
    return make(kPosixErrorDomain, errnum, text ? text : "Unknown error", std::move(reason));
}

}  // namespace platform
