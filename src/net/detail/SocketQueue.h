#pragma once
// Running a body on a socket's own serial queue and handing back what it returns, shared by the
// TCP and the UDP socket.

#include <optional>
#include <type_traits>
#include <utility>

#include "platform/Error.h"
#include "platform/dispatch/Dispatch.h"

namespace net::detail {

// Runs body on queue, inline when the caller is already there (onQueue), else waiting for it;
// returns the body's value.
template <class F>
auto runSync(bool onQueue, platform::dispatch::Queue& queue, F&& body) -> decltype(body()) {
    using Result = decltype(body());
    if (onQueue) return body();
    if constexpr (std::is_void_v<Result>) {
        queue.sync([&] { body(); });
    } else {
        std::optional<Result> result;
        queue.sync([&] { result.emplace(body()); });
        return std::move(*result);
    }
}

// The same for a body that answers whether it succeeded and names its failure in the error it is
// given: *errPtr receives that error on failure and an empty one on success.
template <class F>
bool runSyncReportingError(bool onQueue, platform::dispatch::Queue& queue, platform::Error* errPtr, F&& body) {
    platform::Error error;
    const bool ok = runSync(onQueue, queue, [&] { return body(error); });
    platform::setError(errPtr, ok ? platform::Error{} : std::move(error));
    return ok;
}

}  // namespace net::detail
