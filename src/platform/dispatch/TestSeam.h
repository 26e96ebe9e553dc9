#pragma once
// Seams for tests of the layer and of the sockets above it.
//
// A read source's delivery counts the bytes waiting on its descriptor and, when that count is 0,
// asks poll() whether the descriptor is ready (the peer's end of stream counts nothing and is
// ready). Bytes that arrive between the two calls are what the delivery must not take for an end
// of stream; the first hook, called right after the count, lets a test make them arrive (or the
// peer close) exactly there.
//
// The reactor hands a descriptor's event to its source, which runs a brief handler there and
// then or posts the delivery to its queue, depending on whether that queue is idle at that
// moment; the second hook tells a test that this moment has passed.

#include "platform/dispatch/Dispatch.h"

#include <cstddef>
#include <functional>

namespace platform::dispatch::detail {

// Called on the source's queue with the descriptor and the bytes just counted on it. Empty: none.
using AfterReadCountHook = std::function<void(int fd, size_t counted)>;
void setAfterReadCountHook(AfterReadCountHook hook);

// Called on the reactor's thread with the source once it has run the event's brief handler or
// posted its delivery. The call may come late (the reactor's thread can be held up after that
// moment), so a test tells its source's events by the source, never by the descriptor, whose
// number a later source may have taken. Empty: none.
using EventHandedOverHook = std::function<void(const Source& source)>;
void setEventHandedOverHook(EventHandedOverHook hook);

}  // namespace platform::dispatch::detail
