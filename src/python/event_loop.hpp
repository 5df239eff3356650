// The binding's bridge to asyncio: the program's running loop, found without importing asyncio
// for a program that has not; the coroutines behind the async methods; callables with native
// state for the loop to call back; and what makes an action asynchronous.
#pragma once

#include "python/python.hpp"

#include <functional>
#include <initializer_list>
#include <span>

#include "python/errors.hpp"
#include "python/faults.hpp"
#include "python/ref.hpp"

namespace velto::python {

// The event loop running on this thread, or an empty Ref when none runs. A program that has not
// imported asyncio runs none, and this does not import it.
ObjectResult running_event_loop();

// True when calling `action` makes a coroutine: an async def function, or a bound method or a
// functools.partial of one. Reads code flags only: no import, no call.
bool is_coroutine_function(PyObject* action) noexcept;

// True for what `await` accepts: a coroutine, a future, any object with __await__.
inline bool is_awaitable(PyObject* object) noexcept {
    const PyAsyncMethods* methods = Py_TYPE(object)->tp_as_async;
    return methods != nullptr && methods->am_await != nullptr;
}

// Closes an awaitable that will never be awaited, when it has close() (a coroutine), so that no
// "never awaited" warning is left behind. Its failure is dropped: the caller reports its own.
void close_awaitable(PyObject* awaitable) noexcept;

// The coroutines a program awaits or the loop runs. Each awaits what its argument gives:
// `begin()`, a native callable that starts the wait and returns a future of the running loop,
// for the two methods; the awaitable an action returned, for the action (so that any awaitable,
// not only a coroutine, can be handed to asyncio.run_coroutine_threadsafe).
enum class LoopCoroutine { OpenAsync, WaitDisconnectedAsync, RunAction };
ObjectResult loop_coroutine(LoopCoroutine which, PyObject* argument);

// A Python callable that runs `body` with its positional arguments, under the fault boundary:
// what a loop calls back (a reader, a timer, a future's done callback) and the `begin` above.
using NativeCall = std::function<ObjectResult(std::span<PyObject* const> arguments)>;
ObjectResult native_callable(NativeCall body);

// object.name(*arguments).
ObjectResult call_method(PyObject* object, const char* name,
                         std::initializer_list<PyObject*> arguments);

}  // namespace velto::python
