// execute_action on the serving thread: the interpreter lock held exactly around the action's
// call, and the thread's one attachment to the interpreter.
#include "python/serving_dispatch.hpp"

#include <string>
#include <utility>

#include "common/fault.hpp"
#include "python/event_loop.hpp"
#include "python/faults.hpp"
#include "python/interpreter_lock.hpp"
#include "python/loop_action.hpp"
#include "python/widget_classes.hpp"
#include "wire/action_table.hpp"

namespace velto::python {

namespace {

class ServingDispatch final : public net::FrameHandler {
  public:
    ServingDispatch(ActionRegistry snapshot, Ref loop,
                    const WidgetKindClasses& widget_classes) noexcept
        : snapshot_(std::move(snapshot)), loop_(std::move(loop)), widget_classes_(widget_classes) {
        // Keys that no frame produces stay in the snapshot only, to be released with it.
        for (const auto& [key, action] : snapshot_) table_.place(key, action.get());
    }

    ServingDispatch(const ServingDispatch&) = delete;
    ServingDispatch& operator=(const ServingDispatch&) = delete;

    // Destroyed either on the serving thread after finish(), which has let the attachment go,
    // or on the Python thread that could not start the serving thread, before any attachment
    // was made (the snapshot's references then go at once, with the lock held). A thread that
    // the interpreter tears down never destroys its handler. So no attachment is left here.
    ~ServingDispatch() override = default;

    net::Dispatched execute_action(const wire::Frame& frame,
                                   BeforeProgramCode& before_program_code,
                                   net::StopReceiver& stop) override {
        PyObject* const action = table_.find(frame);
        if (action == nullptr) return {net::Dispatched::Outcome::NoAction, {}};
        if (interpreter_finalizing()) return finalizing(frame);
        // Written before the lock is taken, so a blocked standard output never holds the
        // interpreter up; nothing of this thread comes between them and the action.
        before_program_code();
        auto held = attachment().hold();
        // Only when the interpreter began to finalize after the look above.
        if (!held) return finalizing(frame);
        net::Dispatched dispatched = call_action(action, frame, stop);
        // The action has returned: this thread holds the lock. (A thread the interpreter ends
        // inside the action never gets here, and `held` then finds out whether it holds it.)
        held->release();
        return dispatched;
    }

    // The snapshot's references are released (queued while this thread does not hold the
    // lock), then the attachment takes the lock a last time: it carries the queued releases out
    // and drops the thread's state. A thread that never dispatched an action attaches here, once,
    // so that its snapshot goes now and not at some later call into the module, which may never
    // come (an attachment is not made while the interpreter finalizes). The attachment is dropped
    // by a plain delete, which, unlike the destructor of a smart pointer, lets the thread's
    // forced unwinding through.
    void finish() override {
        if (!snapshot_.empty() || loop_) static_cast<void>(attachment());
        table_ = {};
        snapshot_.clear();
        loop_ = Ref();
        delete attachment_.release();
    }

  private:
    // The interpreter is finalizing: the program has ended without close(), and no action may
    // run any more. Serving ends here.
    static net::Dispatched finalizing(const wire::Frame& frame) {
        return {net::Dispatched::Outcome::Refused,
                "Python is shutting down: the action " + frame.action_key() + " was not run"};
    }

    // The thread's one attachment, made when it first needs the lock: on this thread, not on
    // the Python thread that made the handler.
    InterpreterAttachment& attachment() {
        if (!attachment_) attachment_ = std::make_unique<InterpreterAttachment>();
        return *attachment_;
    }

    // With the lock held. An error text for an action that raised; a PanicException out of the
    // action is a fault (fetch_pending_exception throws it) and ends the thread as one. What an
    // action returns is not looked at, unless it is an awaitable: that is run on the loop.
    net::Dispatched call_action(PyObject* action, const wire::Frame& frame,
                                net::StopReceiver& stop) const {
        using Outcome = net::Dispatched::Outcome;
        auto widget = widget_to_object(widget_classes_, frame.data);
        if (!widget.ok()) {
            // No object for the widget (out of memory): this frame cannot be dispatched, and
            // the thread ends as after a raising action, with the text of that failure.
            OperationError& error = widget.error();
            std::string text = error.display();
            if (HostException* exception = error.host_exception()) release_now(*exception);
            return {Outcome::Failed, std::move(text), {}};
        }
        Ref result = steal(PyObject_CallOneArg(action, widget.value().get()));
        if (!result) {
            HostException exception = fetch_pending_exception();
            // Rendered now, while this thread holds the lock and the frames still exist; the
            // report that shows it is written once the lock is let go.
            net::Dispatched failed{Outcome::Failed, exception.display(),
                                   exception.traceback_text()};
            release_now(exception);
            release_now(widget.value());
            return failed;
        }
        if (result.get() != Py_None && is_awaitable(result.get())) {
            release_now(widget.value());
            return await_action(loop_.get(), std::move(result), frame.action_key(), stop);
        }
        release_now(result);
        release_now(widget.value());
        return {Outcome::Ran, {}, {}};
    }

    ActionRegistry snapshot_;  // owns the actions
    // The event loop running where serve() was called, which runs the awaitables actions
    // return; empty when none ran there.
    Ref loop_;
    wire::ActionTable<PyObject> table_;
    // Classes live for the whole process: no reference is kept.
    WidgetKindClasses widget_classes_;
    std::unique_ptr<InterpreterAttachment> attachment_;
};

}  // namespace

Result<std::unique_ptr<net::FrameHandler>, OperationError> make_serving_dispatch(
    ActionRegistry snapshot, Ref loop) {
    VELTO_TRY(WidgetKindClasses widget_classes, widget_kind_classes());
    return std::unique_ptr<net::FrameHandler>(
        std::make_unique<ServingDispatch>(std::move(snapshot), std::move(loop), widget_classes));
}

}  // namespace velto::python
