// Starting the detached serving thread that owns its connection, stop receiver and handler.
#include "net/serving_thread.hpp"

#include <cxxabi.h>
#include <pthread.h>

#include <csignal>
#include <memory>

#include "net/signal_mask.hpp"

namespace velto::net {

namespace {

// Members are destroyed in reverse order: the receiver first (so that a close() on the Python
// side fails promptly once the thread is done), then the connection, then the handler.
struct ServingThread {
    std::unique_ptr<FrameHandler> handler;
    Fd connection;
    StopReceiver stop;
    Predecessor predecessor;
    ServingSettings settings;
    // The mask of the thread that started serving, for the actions (see run_serving_loop).
    sigset_t action_signals;
};

// No null check on the forced unwinding's catch clause (see run_serving_loop).
__attribute__((no_sanitize("null"))) void* serving_thread_main(void* argument) {
    std::unique_ptr<ServingThread> thread(static_cast<ServingThread*>(argument));
    ::pthread_setname_np(::pthread_self(), "velto-serving");
    try {
        {
            // An action that waits for its own client to leave would wait for this thread.
            const ClientWatch::ServingHere serving(thread->stop.client_watch());
            run_serving_loop(thread->connection, thread->stop, *thread->handler,
                             thread->action_signals, std::move(thread->predecessor),
                             thread->settings);
        }
        // The handler's finish may wait a long time (for an interpreter's lock): the receiver
        // and the connection are let go before it, in the order the members would go.
        thread->stop = StopReceiver(nullptr);
        thread->connection.reset();
        thread->handler->finish();
    } catch (abi::__forced_unwind&) {
        // The interpreter is ending this thread while it finalizes. The handler's references
        // belong to that interpreter and may no longer be released: the handler is left alone.
        static_cast<void>(thread->handler.release());
        throw;
    }
    return nullptr;
}

}  // namespace

Status<SystemError> spawn_serving_thread(Fd connection, StopReceiver stop,
                                         std::unique_ptr<FrameHandler> handler,
                                         Predecessor predecessor, ServingSettings settings) {
    auto thread = std::make_unique<ServingThread>(
        ServingThread{std::move(handler), std::move(connection), std::move(stop),
                      std::move(predecessor), std::move(settings), {}});

    pthread_attr_t attributes;
    if (const int code = ::pthread_attr_init(&attributes); code != 0) {
        return fail(SystemError::from_errno(code));
    }
    ::pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    int code;
    {
        // A thread inherits its creator's mask: the serving thread starts with every signal
        // blocked, and signals keep going to the interpreter's main thread.
        const auto blocked = ScopedSignalMask::block_all();
        thread->action_signals = blocked.previous();
        pthread_t id;
        code = ::pthread_create(&id, &attributes, serving_thread_main, thread.get());
    }
    ::pthread_attr_destroy(&attributes);
    if (code != 0) return fail(SystemError::from_errno(code));
    static_cast<void>(thread.release());  // the thread owns it now
    return ok_unit;
}

}  // namespace velto::net
