// Awaiting an action on the program's event loop: asyncio.run_coroutine_threadsafe, a done
// callback that completes a net::Completion, and the serving thread's wait on it beside the stop
// channel, with a look at the loop now and then.
#include "python/loop_action.hpp"

#include <chrono>
#include <utility>

#include "common/fault.hpp"
#include "net/completion.hpp"
#include "python/errors.hpp"
#include "python/event_loop.hpp"
#include "python/interpreter_lock.hpp"
#include "python/texts.hpp"

namespace velto::python {

namespace {

using Outcome = net::Dispatched::Outcome;

net::Dispatched failed(std::string text) {
    return {Outcome::Failed, std::move(text)};
}

// How often the waiting thread looks whether the loop still runs. A loop that stopped runs no
// callback that could tell it; one look in each period costs a moment of the lock.
constexpr auto loop_look_period = std::chrono::milliseconds(100);
// Looks in a row that found the loop not running before the wait gives up: a program that runs
// its loop in several run_until_complete() calls leaves it stopped for a moment in between.
constexpr int stopped_looks_allowed = 2;

// With the lock held. A loop whose state cannot be read counts as gone.
bool loop_runs(PyObject* loop) {
    auto closed = call_method(loop, "is_closed", {});
    if (!closed.ok() || closed.value().get() != Py_False) return false;
    auto running = call_method(loop, "is_running", {});
    return running.ok() && running.value().get() == Py_True;
}

// Asks the loop to cancel the action's task (the concurrent future passes the cancellation on
// through the loop's call_soon_threadsafe). A closed loop runs nothing any more: nothing to ask.
void cancel_on_loop(PyObject* loop, PyObject* future) {
    auto closed = call_method(loop, "is_closed", {});
    if (closed.ok() && closed.value().get() == Py_False) {
        static_cast<void>(call_method(future, "cancel", {}));
    }
}

// The text of a failure as the serving thread reports it; its exception goes at once.
std::string text_of(OperationError error) {
    std::string text = error.display();
    if (HostException* exception = error.host_exception()) release_now(*exception);
    return text;
}

// The action's task on the loop, as a concurrent.futures.Future.
Result<Ref, std::string> submit(PyObject* loop, Ref awaitable, std::string_view key) {
    auto coroutine = loop_coroutine(LoopCoroutine::RunAction, awaitable.get());
    if (!coroutine.ok()) {
        close_awaitable(awaitable.get());
        return fail(text_of(std::move(coroutine).error()));
    }
    auto future = [&]() -> ObjectResult {
        VELTO_TRY(Ref asyncio, owned(PyImport_ImportModule("asyncio")));
        return call_method(asyncio.get(), "run_coroutine_threadsafe",
                           {coroutine.value().get(), loop});
    }();
    if (future.ok()) return std::move(future).value();
    // A closed loop refuses it: neither coroutine will ever run.
    std::string text = text_of(std::move(future).error());
    close_awaitable(coroutine.value().get());
    close_awaitable(awaitable.get());
    return fail(concat({"the action ", key, " could not be run on its event loop: ", text}));
}

}  // namespace

net::Dispatched await_action(PyObject* loop, Ref awaitable, std::string_view key,
                             net::StopReceiver& stop) {
    if (loop == nullptr) {
        close_awaitable(awaitable.get());
        release_now(awaitable);
        return failed(concat({"the action ", key,
                            " returned an awaitable, but serve() was not called where an asyncio "
                            "event loop runs: call serve() from a coroutine on the loop that "
                            "should run it, or make the action a plain function"}));
    }
    auto completion = net::Completion::make();
    if (!completion.ok()) {
        close_awaitable(awaitable.get());
        return failed(concat({"the action ", key, " cannot be waited for: ",
                            completion.error().display()}));
    }
    std::shared_ptr<net::Completion> finished = std::move(completion).value();
    auto on_done = native_callable([finished](std::span<PyObject* const>) -> ObjectResult {
        finished->complete();
        return borrow(Py_None);
    });
    if (!on_done.ok()) {
        close_awaitable(awaitable.get());
        return failed(text_of(std::move(on_done).error()));
    }
    auto submitted = submit(loop, std::move(awaitable), key);
    if (!submitted.ok()) return failed(std::move(submitted).error());
    Ref future = std::move(submitted).value();
    // Called at once when the task has finished already.
    if (auto added = call_method(future.get(), "add_done_callback", {on_done.value().get()});
        !added.ok()) {
        cancel_on_loop(loop, future.get());
        return failed(text_of(std::move(added).error()));
    }
    release_now(on_done.value());

    PyThreadState* saved = PyEval_SaveThread();
    int stopped_looks = 0;
    const auto waited = finished->wait(stop, loop_look_period, [&] {
        if (interpreter_finalizing()) return false;
        PyEval_RestoreThread(saved);
        stopped_looks = loop_runs(loop) ? 0 : stopped_looks + 1;
        saved = PyEval_SaveThread();
        return stopped_looks < stopped_looks_allowed;
    });
    // The program has ended without close(): the action's loop is gone with it.
    if (interpreter_finalizing()) {
        raise_reported_fault(concat({"Python is shutting down: the action ", key,
                                     " was not finished"}));
    }
    PyEval_RestoreThread(saved);

    switch (waited) {
        case net::Completion::Waited::Stopped:
            // close() ends serving at once; the coroutine is cancelled at its next await.
            cancel_on_loop(loop, future.get());
            return {Outcome::Stopped, {}};
        case net::Completion::Waited::GaveUp:
            cancel_on_loop(loop, future.get());
            return failed(concat({"the event loop of the action ", key,
                                " stopped before the action finished"}));
        case net::Completion::Waited::Completed:
            break;
    }
    auto cancelled = call_method(future.get(), "cancelled", {});
    if (!cancelled.ok()) return failed(text_of(std::move(cancelled).error()));
    if (cancelled.value().get() == Py_True) {
        return failed(concat({"the action ", key,
                            " was cancelled before it finished (its event loop stopped, or "
                            "cancelled its task)"}));
    }
    // The coroutine's exception, as a plain action's would be (a PanicException is a fault).
    auto result = call_method(future.get(), "result", {});
    if (!result.ok()) return failed(text_of(std::move(result).error()));
    release_now(result.value());
    release_now(future);
    return {Outcome::Ran, {}};
}

}  // namespace velto::python
