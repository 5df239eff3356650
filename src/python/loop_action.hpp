// An action that returned an awaitable (an async def action): run on the event loop serve() was
// called from, while the serving thread waits for it without the interpreter lock.
#pragma once

#include "python/python.hpp"

#include <string>
#include <string_view>

#include "common/result.hpp"
#include "net/serving_loop.hpp"
#include "net/stop_channel.hpp"
#include "python/ref.hpp"

namespace velto::python {

// Submits `awaitable` to `loop` (null: serving has no loop, and the awaitable is closed) and
// waits until it has finished, a stop comes (close(): the coroutine is cancelled on its loop and
// the dispatch is Stopped), or the loop stops or closes first. An exception the coroutine ends
// with fails the dispatch with its text, as a plain action's; a PanicException is a fault.
// Called on the serving thread with the interpreter lock held, and returns with it held, except
// when the interpreter began to finalize meanwhile: then a fault that was not reported ends the
// thread, without the lock.
net::Dispatched await_action(PyObject* loop, Ref awaitable, std::string_view key,
                             net::StopReceiver& stop);

}  // namespace velto::python
