// The ComSocketServer class, top to bottom: its state, the access its methods take, the methods
// (registry, connection, serving thread, results), the settings, the slots, and the type
// description that lists them.
#include "python/com_socket_server.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "common/fault.hpp"
#include "net/serving_thread.hpp"
#include "net/socket.hpp"
#include "python/arguments.hpp"
#include "python/classes.hpp"
#include "python/client_wait.hpp"
#include "python/conversions.hpp"
#include "python/debug_log.hpp"
#include "python/event_loop.hpp"
#include "python/faults.hpp"
#include "python/registration_checks.hpp"
#include "python/loop_wait.hpp"
#include "python/result_classes.hpp"
#include "python/signal_check.hpp"
#include "wire/action_key.hpp"
#include "wire/result_frame.hpp"
#include "wire/values.hpp"

namespace velto::python {

namespace {

// The serving loop's own default, in the seconds the attribute shows.
constexpr double default_read_interval =
    std::chrono::duration<double>(net::ServingSettings::default_read_interval).count();

}  // namespace

// ---- State --------------------------------------------------------------------------------

ActionRegistry ComSocketServerState::clone_action_registry() const {
    ActionRegistry snapshot;
    snapshot.reserve(actions.size());
    for (const auto& [key, action] : actions) snapshot.emplace(key, action.clone());
    return snapshot;
}

Result<Ref, OperationError> new_com_socket_server(std::string address) {
    VELTO_TRY(PyTypeObject * type, com_socket_server_class());
    return new_object(type, ComSocketServerState{.address = std::move(address),
                                                 .connection = net::Fd(),
                                                 .actions = {},
                                                 .stop_sender = std::nullopt,
                                                 .client_watch = nullptr,
                                                 .read_interval = default_read_interval,
                                                 .serving = {},
                                                 .liveness_timeout =
                                                     ComSocketServerState::default_liveness_timeout,
                                                 .connection_liveness = std::nullopt,
                                                 .allowed_clients = std::nullopt,
                                                 .serving_loop = Ref()});
}

namespace {

ComSocketServerState& state_of(PyObject* self) {
    return object_cast<ComSocketServerState>(self)->value;
}

// The receiver of a method: an instance of the class (or of a subclass). No access is taken yet.
Result<ComSocketServerObject*, OperationError> server_receiver(PyObject* self) {
    return to_object<ComSocketServerState>(Handle(self), com_socket_server_class(),
                                           com_socket_server_name);
}

// Exclusive access to the server's state, held only around a method's change of state: the
// arguments are converted and the debug record is written before it, and what the change let go
// of (a replaced action) is released after it. All of these can run Python code (an __index__, a
// log handler, a __del__) that may use this server, or let the interpreter lock go so that an
// action on the serving thread answers through callback() meanwhile.
struct ExclusiveServer {
    ComSocketServerState& state;
    ExclusiveBorrow borrow;
};
Result<ExclusiveServer, OperationError> exclusive_server(ComSocketServerObject& server) {
    VELTO_TRY(ExclusiveBorrow borrow, ExclusiveBorrow::take(server.borrow_state));
    return ExclusiveServer{server.value, std::move(borrow)};
}

// What every method of ComSocketServer does around its body: the fault boundary, the binding of
// the arguments to `signature` and the check of the receiver. `body(server, bound)` returns an
// ObjectResult.
template <std::size_t N, class Body>
PyObject* server_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                        const Signature<N>& signature, Body&& body) {
    return object_entry([&]() -> ObjectResult {
        VELTO_TRY(auto bound, bind(signature, CallArguments::vectorcall(args, nargsf, kwnames)));
        VELTO_TRY(ComSocketServerObject * server, server_receiver(self));
        return body(*server, static_cast<const std::array<Handle, N>&>(bound));
    });
}

// The liveness timeout in the milliseconds the network core counts (at least one).
std::optional<std::chrono::milliseconds> liveness_ms(std::optional<double> seconds) {
    if (!seconds) return std::nullopt;
    return std::chrono::milliseconds(std::max<long long>(1, std::llround(*seconds * 1000)));
}

// Puts the server's liveness timeout on `connection`, and makes the writer's side of it.
Status<OperationError> watch_liveness(const ComSocketServerState& state,
                                      const net::Fd& connection,
                                      std::optional<net::WriteLiveness>& writer) {
    const auto timeout = liveness_ms(state.liveness_timeout);
    if (auto applied = net::apply_liveness(connection, timeout); !applied.ok()) {
        return fail(OperationError(std::move(applied).error()));
    }
    writer.reset();
    if (timeout) writer.emplace(*timeout);
    return ok_unit;
}

// ---- Methods: the action registry ---------------------------------------------------------

PyObject* com_socket_server_on(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                               PyObject* kwnames) {
    static constexpr Signature<3> signature{"ComSocketServer.on()", {"id", "widget", "action"}};
    return server_method(
        self, args, nargsf, kwnames, signature,
        [](ComSocketServerObject& server, const std::array<Handle, 3>& bound) -> ObjectResult {
            VELTO_TRY(std::uint8_t id, argument("id", to_u8(bound[0])));
            VELTO_TRY(std::string widget, argument("widget", to_text(bound[1])));
            VELTO_CHECK(debug_record(concat({"register action: ", widget})));
            std::string key = wire::action_key(id, widget);
            bool serving = false;
            {
                VELTO_TRY(ExclusiveServer exclusive, exclusive_server(server));
                serving = exclusive.state.stop_sender && exclusive.state.stop_sender->serving();
            }
            // Before anything is stored: a warning that a filter made an error leaves the
            // registry as it was.
            VELTO_CHECK(warn_about_registration(key, bound[2].get(), serving));
            Ref action = borrow(bound[2]);
            {
                VELTO_TRY(ExclusiveServer exclusive, exclusive_server(server));
                // The new action goes in and the one it replaces (if any) comes out into
                // `action`, with no Python code run in between.
                Ref& stored = exclusive.state.actions[std::move(key)];
                std::swap(stored, action);
            }
            release_now(action);
            return borrow(Py_None);
        });
}

PyObject* com_socket_server_get_action(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                       PyObject* kwnames) {
    static constexpr Signature<1> signature{"ComSocketServer._get_action()", {"key"}};
    return server_method(
        self, args, nargsf, kwnames, signature,
        [](ComSocketServerObject& server, const std::array<Handle, 1>& bound) -> ObjectResult {
            VELTO_TRY(std::string key, argument("key", to_text(bound[0])));
            VELTO_TRY(ExclusiveServer exclusive, exclusive_server(server));
            const ActionRegistry& actions = exclusive.state.actions;
            if (actions.empty()) return borrow(Py_None);
            auto found = actions.find(key);
            if (found == actions.end()) return borrow(Py_None);
            return found->second.clone();
        });
}

// ---- Methods: the connection and the serving thread ---------------------------------------

// The last step of open() and open_async(): the accepted client becomes the connection. The
// exclusive access covers only this, not the wait before it.
ObjectResult take_client(ComSocketServerObject& server, net::Fd accepted) {
    std::optional<net::WriteLiveness> liveness;
    VELTO_CHECK(watch_liveness(server.value, accepted, liveness));
    Ref old_loop;
    {
        VELTO_TRY(ExclusiveServer exclusive, exclusive_server(server));
        // The earlier connection's handle is closed without a shutdown: a serving thread
        // started on it keeps its own handle and goes on serving it.
        exclusive.state.connection = std::move(accepted);
        exclusive.state.connection_liveness = liveness;
        // A new client: what became of the last one is no answer about this one.
        exclusive.state.client_watch.reset();
        std::swap(old_loop, exclusive.state.serving_loop);
    }
    return borrow(Py_None);
}

// Who open() and open_async() let in: a copy of allowed_clients taken when the wait begins (the
// wait runs Python code, signal handlers or the loop's other tasks, which may change the
// setting), and the debug record of each client refused. A record that fails (a log handler
// that raises) ends the wait with its error. Stays where it was made while its admission is used.
class ClientDoor {
  public:
    explicit ClientDoor(const ComSocketServerState& state) : filter_(state.allowed_clients) {}
    ClientDoor(const ClientDoor&) = delete;
    ClientDoor& operator=(const ClientDoor&) = delete;

    net::ClientAdmission admission() {
        return {.filter = filter_ ? &*filter_ : nullptr,
                .refused = [this](const std::string& address) {
                    auto recorded = debug_record(
                        concat({"refused client ", address, ": not in allowed_clients"}));
                    if (recorded.ok()) return true;
                    refusal_failed_.emplace(std::move(recorded).error());
                    return false;
                }};
    }
    std::optional<OperationError> take_refusal_failure() { return std::exchange(refusal_failed_, {}); }

  private:
    std::optional<net::ClientFilter> filter_;
    std::optional<OperationError> refusal_failed_;
};

// The listening socket of open() and open_async(), or their fault when none can be made.
net::Fd listener_for(const ComSocketServerState& state) {
    auto listener = net::listen_on(state.address);
    if (!listener.ok()) {
        raise_fault("Unable to intanstiate TCP Listener. " + listener.error().structured());
    }
    return std::move(listener).value();
}

[[noreturn]] void accept_failed(const SystemError& error) {
    raise_fault("Unable to get new TCP connection. " + error.structured());
}

// Waits for the client with the interpreter lock held: nothing else in the interpreter runs
// until a client comes, except the signal handlers, whose KeyboardInterrupt ends the wait. The
// exclusive access covers only the installation of the new connection, not the wait: a handler
// that uses this server, or lets the interpreter lock go so that a running serving thread's
// action answers through callback(), is not refused.
PyObject* com_socket_server_open(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                 PyObject* kwnames) {
    static constexpr Signature<0> signature{"ComSocketServer.open()", {}};
    return server_method(
        self, args, nargsf, kwnames, signature,
        [](ComSocketServerObject& server, const std::array<Handle, 0>&) -> ObjectResult {
            net::Fd listener = listener_for(server.value);
            ClientDoor door(server.value);
            SignalCheck signals;
            auto accepted = net::accept_one(listener, signals.retry(), door.admission());
            if (!accepted.ok()) {
                if (signals.raised()) return fail(pending_error());
                if (auto failed = door.take_refusal_failure()) return fail(std::move(*failed));
                accept_failed(accepted.error());
            }
            VELTO_TRY(Ref none, take_client(server, std::move(accepted).value()));
            // One client per open(): the listening socket goes now, so later clients are refused.
            listener.reset();
            return none;
        });
}

// What open() does, awaited: the listener is made when the coroutine starts (with open()'s
// faults), then the program's event loop watches it, and each time it is readable the same
// accept step as open()'s takes the client, if one is still there. Neither the loop nor the
// interpreter lock is held meanwhile. Cancelling the awaiting task closes the listener and
// leaves the server as it was.
PyObject* com_socket_server_open_async(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                       PyObject* kwnames) {
    static constexpr Signature<0> signature{"ComSocketServer.open_async()", {}};
    return server_method(
        self, args, nargsf, kwnames, signature,
        [self](ComSocketServerObject&, const std::array<Handle, 0>&) -> ObjectResult {
            auto owner = std::make_shared<Ref>(borrow(self));
            auto begin_wait = [owner](std::span<PyObject* const>) -> ObjectResult {
                const ComSocketServerState& state =
                    object_cast<ComSocketServerState>(owner->get())->value;
                auto door = std::make_shared<ClientDoor>(state);
                return start_loop_wait(LoopWaitRequest{
                    .readable = listener_for(state),
                    .ready = [owner, door](const net::Fd& listening)
                        -> Result<std::optional<Ref>, OperationError> {
                        auto accepted = net::accept_ready(listening, door->admission());
                        if (!accepted.ok()) {
                            if (auto failed = door->take_refusal_failure()) {
                                return fail(std::move(*failed));
                            }
                            accept_failed(accepted.error());
                        }
                        if (!accepted.value()) return std::optional<Ref>();
                        VELTO_TRY(Ref none,
                                  take_client(*object_cast<ComSocketServerState>(owner->get()),
                                              std::move(*accepted.value())));
                        return std::optional<Ref>(std::move(none));
                    },
                    .timeout_seconds = std::nullopt});
            };
            VELTO_TRY(Ref begin, native_callable(std::move(begin_wait)));
            return loop_coroutine(LoopCoroutine::OpenAsync, begin.get());
        });
}

// serve() where no event loop runs has nowhere to run an async def action: refused before
// anything changes, with what to do instead.
Status<OperationError> no_coroutine_functions(const ActionRegistry& actions) {
    for (const auto& [key, action] : actions) {
        if (!is_coroutine_function(action.get())) continue;
        return fail(runtime_error(concat(
            {"the action ", key,
             " is an async def function, but serve() was called where no asyncio event loop "
             "runs: call serve() from a coroutine running on the loop, or register a plain "
             "function"})));
    }
    return ok_unit;
}

// Starts a detached serving thread on a second handle of the connection, with a snapshot of
// the registry and a new stop channel. A thread started by an earlier serve() is retired: it
// ends without shutting the connection down, and the new thread continues where it stopped.
PyObject* com_socket_server_serve(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                  PyObject* kwnames) {
    static constexpr Signature<0> signature{"ComSocketServer.serve()", {}};
    return server_method(
        self, args, nargsf, kwnames, signature,
        [](ComSocketServerObject& server, const std::array<Handle, 0>&) -> ObjectResult {
            // The loop running here (if any) runs the awaitables that actions return.
            VELTO_TRY(Ref loop, running_event_loop());
            Ref replaced_loop;
            VELTO_TRY(ExclusiveServer exclusive, exclusive_server(server));
            ComSocketServerState& state = exclusive.state;
            if (!state.connection.valid()) return fail(OperationError(ServerStateError{}));
            if (!loop) {
                VELTO_CHECK(no_coroutine_functions(state.actions));
            }
            auto thread_handle = net::duplicate(state.connection);
            if (!thread_handle.ok()) return fail(OperationError(std::move(thread_handle).error()));
            VELTO_TRY(std::unique_ptr<net::FrameHandler> dispatch,
                      make_serving_dispatch(state.clone_action_registry(),
                                            loop ? loop.clone() : Ref()));
            // The same connection keeps its watch while nothing has ended its serving yet, so
            // that a wait follows the connection across the retire below; a new thread after
            // an end is a new serving, and a wait must not see the old end.
            std::shared_ptr<net::ClientWatch> watch = state.client_watch;
            if (!watch || watch->outcome()) {
                auto made = net::ClientWatch::make();
                if (!made.ok()) return fail(OperationError(std::move(made).error()));
                watch = std::move(made).value();
            }
            auto channel = net::make_stop_channel(watch);
            if (!channel.ok()) return fail(OperationError(std::move(channel).error()));
            auto [sender, receiver] = std::move(channel).value();
            net::Predecessor predecessor;
            if (state.stop_sender) predecessor = state.stop_sender->retire();
            state.stop_sender = std::move(sender);
            state.client_watch = std::move(watch);
            replaced_loop = std::exchange(state.serving_loop, std::move(loop));
            auto spawned =
                net::spawn_serving_thread(std::move(thread_handle).value(), std::move(receiver),
                                          std::move(dispatch), std::move(predecessor),
                                          state.serving);
            if (!spawned.ok()) raise_fault("failed to spawn thread: " + spawned.error().display());
            return borrow(Py_None);
        });
}

// Never waits for the serving thread: the stop wakes it, and it ends the connection itself.
PyObject* com_socket_server_close(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                  PyObject* kwnames) {
    static constexpr Signature<0> signature{"ComSocketServer.close()", {}};
    return server_method(
        self, args, nargsf, kwnames, signature,
        [](ComSocketServerObject& server, const std::array<Handle, 0>&) -> ObjectResult {
            VELTO_TRY(ExclusiveServer exclusive, exclusive_server(server));
            ComSocketServerState& state = exclusive.state;
            if (state.stop_sender) {
                if (auto sent = state.stop_sender->send(); !sent.ok()) {
                    return fail(OperationError(sent.error()));
                }
                state.connection.reset();  // no shutdown: the serving thread's handle does that
                state.connection_liveness.reset();
                return borrow(Py_None);
            }
            if (state.connection.valid()) {
                if (auto down = net::shutdown_both(state.connection); !down.ok()) {
                    return fail(OperationError(std::move(down).error()));
                }
                state.connection.reset();
                state.connection_liveness.reset();
            }
            return borrow(Py_None);
        });
}

// The watch of the served connection, picked up with the exclusive access; with it, the loop
// its actions run on.
Result<std::pair<std::shared_ptr<net::ClientWatch>, Ref>, OperationError> served_watch(
    ComSocketServerObject& server) {
    VELTO_TRY(ExclusiveServer exclusive, exclusive_server(server));
    const ComSocketServerState& state = exclusive.state;
    if (!state.client_watch) return fail(OperationError(ServerStateError{}));
    return std::pair(state.client_watch, state.serving_loop ? state.serving_loop.clone() : Ref());
}

// Waits until the client of the served connection has gone or its serving has ended, with the
// interpreter lock let go. The exclusive access is held only to pick the watch up: actions
// answering through callback(), and other threads using this server, go on meanwhile.
PyObject* com_socket_server_wait_disconnected(PyObject* self, PyObject* const* args,
                                              Py_ssize_t nargsf, PyObject* kwnames) {
    // The timeout may be left out: None, no limit.
    static constexpr Signature<1> signature{"ComSocketServer.wait_disconnected()", {"timeout"}, 0};
    return server_method(
        self, args, nargsf, kwnames, signature,
        [](ComSocketServerObject& server, const std::array<Handle, 1>& bound) -> ObjectResult {
            VELTO_TRY(auto timeout, argument("timeout", to_timeout(bound[0])));
            VELTO_TRY(auto served, served_watch(server));
            auto& [watch, loop] = served;
            // On the thread of the loop that runs the async actions, a wait without end would
            // stop that loop, and with it the action the serving thread waits for: neither
            // would ever end.
            if (!timeout && loop && !watch->outcome()) {
                VELTO_TRY(Ref here, running_event_loop());
                if (here.get() == loop.get()) {
                    return fail(runtime_error(
                        "wait_disconnected() without a timeout would block the event loop that "
                        "runs this server's async actions: await wait_disconnected_async() "
                        "there instead"));
                }
            }
            VELTO_TRY(auto outcome, wait_for_client(*watch, timeout));
            if (!outcome) return borrow(Py_None);
            return outcome_text(*outcome);
        });
}

// What wait_disconnected() answers, awaited: the program's event loop watches a duplicate of
// the watch's descriptor (so that any number of such waits go on at once) and a timer. Neither
// the loop nor the interpreter lock is held meanwhile; cancelling the awaiting task leaves the
// watch as it was.
PyObject* com_socket_server_wait_disconnected_async(PyObject* self, PyObject* const* args,
                                                    Py_ssize_t nargsf, PyObject* kwnames) {
    // The timeout may be left out: None, no limit.
    static constexpr Signature<1> signature{"ComSocketServer.wait_disconnected_async()",
                                            {"timeout"}, 0};
    return server_method(
        self, args, nargsf, kwnames, signature,
        [self](ComSocketServerObject&, const std::array<Handle, 1>& bound) -> ObjectResult {
            VELTO_TRY(auto timeout, argument("timeout", to_timeout(bound[0])));
            std::optional<double> seconds;
            if (timeout) seconds = std::chrono::duration<double>(*timeout).count();
            auto owner = std::make_shared<Ref>(borrow(self));
            auto begin_wait = [owner, seconds](std::span<PyObject* const>) -> ObjectResult {
                VELTO_TRY(auto served,
                          served_watch(*object_cast<ComSocketServerState>(owner->get())));
                std::shared_ptr<net::ClientWatch> watch = std::move(served.first);
                auto copy = net::duplicate(watch->ready_fd());
                if (!copy.ok()) return fail(OperationError(std::move(copy).error()));
                return start_loop_wait(LoopWaitRequest{
                    .readable = std::move(copy).value(),
                    .ready = [watch](const net::Fd&) -> Result<std::optional<Ref>, OperationError> {
                        const auto outcome = watch->outcome();
                        if (!outcome) return std::optional<Ref>();
                        VELTO_TRY(Ref text, outcome_text(*outcome));
                        return std::optional<Ref>(std::move(text));
                    },
                    .timeout_seconds = seconds});
            };
            VELTO_TRY(Ref begin, native_callable(std::move(begin_wait)));
            return loop_coroutine(LoopCoroutine::WaitDisconnectedAsync, begin.get());
        });
}

// ---- Methods: results -----------------------------------------------------------------------

// Writes with the interpreter lock held, on the object's own handle (the serving thread reads
// on its duplicate); an action that answers from inside its call lands here on the serving
// thread, which holds the lock then.
//
// The frame is converted and encoded before the exclusive access is taken, which then covers
// only the connection and the write. The write runs no Python code except the signal handlers
// after an interrupted send; those run with the access still held on purpose: a handler that
// answered through callback() itself would otherwise put its frame in the middle of this one.
// It is refused ("Already borrowed") instead.
PyObject* com_socket_server_callback(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                     PyObject* kwnames) {
    static constexpr Signature<3> signature{"ComSocketServer.callback()", {"id", "status", "data"}};
    return server_method(
        self, args, nargsf, kwnames, signature,
        [](ComSocketServerObject& server, const std::array<Handle, 3>& bound) -> ObjectResult {
            VELTO_TRY(std::uint8_t id, argument("id", to_u8(bound[0])));
            VELTO_TRY(wire::ServerStatus status, argument("status", to_server_status(bound[1])));
            // Bad data is reported even when there is no client: the connection is looked at
            // only after this.
            auto payload = to_result_binding(bound[2]);
            if (!payload.ok()) {
                raise_fault("Python data failed to be bound: " + payload.error().display());
            }
            const wire::ResultFrame frame{id, status, std::move(payload).value()};
            const std::vector<std::uint8_t> bytes = frame.encode();
            VELTO_TRY(ExclusiveServer exclusive, exclusive_server(server));
            if (!exclusive.state.connection.valid()) return fail(OperationError(ServerStateError{}));
            SignalCheck signals;
            auto& liveness = exclusive.state.connection_liveness;
            auto sent = net::send_all(exclusive.state.connection, bytes, signals.retry(),
                                      liveness ? &*liveness : nullptr);
            if (!sent.ok()) {
                if (signals.raised()) return fail(pending_error());
                return fail(OperationError(std::move(sent).error()));
            }
            return borrow(Py_None);
        });
}

// ---- Settings ----------------------------------------------------------------------------------

// What every setting's assignment does around its body: the fault boundary, the receiver check,
// and the refusal of `del`. `write(server, value)` returns a Status; it converts the value
// before it takes exclusive access, since a conversion may run Python code (an iterator's).
template <class Write>
int server_setting(PyObject* self, PyObject* value, std::string_view name, Write&& write) {
    PyObject* done = object_entry([&]() -> ObjectResult {
        VELTO_TRY(ComSocketServerObject * server, server_receiver(self));
        if (value == nullptr) return fail(type_error(concat({"cannot delete ", name})));
        VELTO_CHECK(write(*server, Handle(value)));
        return borrow(Py_None);
    });
    if (done == nullptr) return -1;
    Py_DECREF(done);
    return 0;
}

PyObject* com_socket_server_get_liveness_timeout(PyObject* self, void*) {
    return read_attribute<ComSocketServerState>(
        self, com_socket_server_class, com_socket_server_name,
        [](const ComSocketServerState& state) -> ObjectResult {
            if (!state.liveness_timeout) return borrow(Py_None);
            return new_float(*state.liveness_timeout);
        });
}

// Takes effect on the connection held now as well as on every later one.
int com_socket_server_set_liveness_timeout(PyObject* self, PyObject* value, void*) {
    return server_setting(
        self, value, "liveness_timeout",
        [](ComSocketServerObject& server, Handle given) -> Status<OperationError> {
            std::optional<double> seconds;
            if (given.get() != Py_None) {
                VELTO_TRY(seconds, seconds_setting(given.get(), "liveness_timeout", 0, false,
                                                   net::longest_liveness_seconds));
            }
            VELTO_TRY(ExclusiveServer exclusive, exclusive_server(server));
            ComSocketServerState& state = exclusive.state;
            const std::optional<double> before = std::exchange(state.liveness_timeout, seconds);
            if (state.connection.valid()) {
                if (auto applied = watch_liveness(state, state.connection, state.connection_liveness);
                    !applied.ok()) {
                    state.liveness_timeout = before;
                    return fail(std::move(applied).error());
                }
            }
            return ok_unit;
        });
}

PyObject* com_socket_server_get_allowed_clients(PyObject* self, void*) {
    return read_attribute<ComSocketServerState>(
        self, com_socket_server_class, com_socket_server_name,
        [](const ComSocketServerState& state) -> ObjectResult {
            if (!state.allowed_clients) return borrow(Py_None);
            const auto& allowed = state.allowed_clients->allowed();
            VELTO_TRY(Ref entries, owned(PyTuple_New(static_cast<Py_ssize_t>(allowed.size()))));
            for (std::size_t i = 0; i < allowed.size(); ++i) {
                VELTO_TRY(Ref entry, new_text(allowed[i].text()));
                PyTuple_SET_ITEM(entries.get(), static_cast<Py_ssize_t>(i), entry.release());
            }
            return entries;
        });
}

// Takes effect at the next open(); a client already let in stays.
int com_socket_server_set_allowed_clients(PyObject* self, PyObject* value, void*) {
    return server_setting(
        self, value, "allowed_clients",
        [](ComSocketServerObject& server, Handle given) -> Status<OperationError> {
            auto filter = to_client_filter(given, "allowed_clients");
            if (!filter.ok()) return fail(std::move(filter).error());
            VELTO_TRY(ExclusiveServer exclusive, exclusive_server(server));
            // Swapped in, so that the filter let go is destroyed with the result, after the
            // access (g++ 12 also reads a moved-from optional here as maybe uninitialized).
            std::swap(exclusive.state.allowed_clients, filter.value());
            return ok_unit;
        });
}

// An hour: longer pauses are a mistake rather than a pace, and the nanoseconds stay far from
// any overflow.
constexpr double longest_read_interval = 3600;

PyObject* com_socket_server_read_interval(PyObject* self, void*) {
    return read_attribute<ComSocketServerState>(
        self, com_socket_server_class, com_socket_server_name,
        [](const ComSocketServerState& state) { return new_float(state.read_interval); });
}

int com_socket_server_set_read_interval(PyObject* self, PyObject* value, void*) {
    return server_setting(
        self, value, "read_interval",
        [](ComSocketServerObject& server, Handle given) -> Status<OperationError> {
            VELTO_TRY(double seconds, seconds_setting(given.get(), "read_interval", 0, true,
                                                      longest_read_interval));
            VELTO_TRY(ExclusiveServer exclusive, exclusive_server(server));
            exclusive.state.read_interval = seconds;
            exclusive.state.serving.read_interval = std::chrono::round<std::chrono::nanoseconds>(
                std::chrono::duration<double>(seconds));
            return ok_unit;
        });
}

PyObject* com_socket_server_console_lines(PyObject* self, void*) {
    return read_attribute<ComSocketServerState>(
        self, com_socket_server_class, com_socket_server_name,
        [](const ComSocketServerState& state) { return new_bool(state.serving.console_lines); });
}

int com_socket_server_set_console_lines(PyObject* self, PyObject* value, void*) {
    return server_setting(
        self, value, "console_lines",
        [](ComSocketServerObject& server, Handle flag) -> Status<OperationError> {
            if (!PyBool_Check(flag.get())) {
                return fail(type_error(concat(
                    {"console_lines must be True or False, not ", type_qualname(flag.get())})));
            }
            VELTO_TRY(ExclusiveServer exclusive, exclusive_server(server));
            exclusive.state.serving.console_lines = flag.get() == Py_True;
            return ok_unit;
        });
}

// A frozenset of the kind names: what was set, in a form that cannot be changed behind the
// server's back.
ObjectResult widget_kind_names_set(const WidgetKinds& kinds) {
    VELTO_TRY(Ref names, owned(PyFrozenSet_New(nullptr)));
    for (std::size_t kind = 0; kind < kinds.size(); ++kind) {
        if (!kinds.test(kind)) continue;
        VELTO_TRY(Ref name, new_text(wire::widget_kind_names[kind]));
        if (PySet_Add(names.get(), name.get()) != 0) return fail(pending_error());
    }
    return names;
}

PyObject* com_socket_server_latest_only(PyObject* self, void*) {
    return read_attribute<ComSocketServerState>(
        self, com_socket_server_class, com_socket_server_name,
        [](const ComSocketServerState& state) {
            return widget_kind_names_set(state.serving.latest_only);
        });
}

int com_socket_server_set_latest_only(PyObject* self, PyObject* value, void*) {
    return server_setting(
        self, value, "latest_only",
        [](ComSocketServerObject& server, Handle names) -> Status<OperationError> {
            VELTO_TRY(WidgetKinds kinds, to_widget_kinds(names, "latest_only"));
            VELTO_TRY(ExclusiveServer exclusive, exclusive_server(server));
            exclusive.state.serving.latest_only = kinds;
            return ok_unit;
        });
}

// ---- Slots and type description --------------------------------------------------------------

PyObject* com_socket_server_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Signature<1> signature{"ComSocketServer.__new__()", {"address"}};
    return object_entry([&]() -> ObjectResult {
        VELTO_TRY(auto bound, bind(signature, CallArguments::tuple_and_dict(args, kwargs)));
        VELTO_TRY(std::string address, argument("address", to_text(bound[0])));
        return new_com_socket_server(std::move(address));
    });
}

PyObject* com_socket_server_address(PyObject* self, void*) {
    return read_attribute<ComSocketServerState>(
        self, com_socket_server_class, com_socket_server_name,
        [](const ComSocketServerState& state) { return new_text(state.address); });
}

// ---- Settings of the serving thread -------------------------------------------------------

// A program's actions often refer back to the server (a closure, or the module globals that
// hold it), so the registry can close a reference cycle; the collector needs to see it.
int com_socket_server_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    for (const auto& entry : state_of(self).actions) Py_VISIT(entry.second.get());
    Py_VISIT(state_of(self).serving_loop.get());
    return 0;
}

int com_socket_server_clear(PyObject* self) {
    ActionRegistry released;
    released.swap(state_of(self).actions);  // the map is empty before any release runs code
    Ref loop = std::move(state_of(self).serving_loop);
    return 0;
}

PyGetSetDef com_socket_server_getset[] = {
    {"address", com_socket_server_address, nullptr, nullptr, nullptr},
    {"read_interval", com_socket_server_read_interval, com_socket_server_set_read_interval,
     "Seconds the serving thread pauses before each receive, from 0 (receive as soon as bytes\n"
     "arrive) to 3600; default 0.5. Takes effect at the next serve().",
     nullptr},
    {"console_lines", com_socket_server_console_lines, com_socket_server_set_console_lines,
     "Whether the serving thread writes its console lines on standard output (default True).\n"
     "Takes effect at the next serve().",
     nullptr},
    {"latest_only", com_socket_server_latest_only, com_socket_server_set_latest_only,
     "Widget kind names (a frozenset, default empty) whose stale frames are dropped: of the\n"
     "frames of one widget the serving thread has waiting at once, only the newest is\n"
     "dispatched. Takes effect at the next serve().",
     nullptr},
    {"liveness_timeout", com_socket_server_get_liveness_timeout,
     com_socket_server_set_liveness_timeout,
     "Seconds after which a client that no longer answers at the network level counts as "
     "gone (None: never). Applies to the current connection at once and to every later one.",
     nullptr},
    {"allowed_clients", com_socket_server_get_allowed_clients,
     com_socket_server_set_allowed_clients,
     "The addresses and networks open() lets clients connect from, as a tuple (None: any). "
     "Takes effect at the next open().",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Each row's docstring is exactly its text signature.
PyMethodDef com_socket_server_methods[] = {
    {"on", method(com_socket_server_on), METH_FASTCALL | METH_KEYWORDS,
     "on($self, id, widget, action)\n--\n\n"},
    {"_get_action", method(com_socket_server_get_action), METH_FASTCALL | METH_KEYWORDS,
     "_get_action($self, key)\n--\n\n"},
    {"open", method(com_socket_server_open), METH_FASTCALL | METH_KEYWORDS, "open($self)\n--\n\n"},
    {"serve", method(com_socket_server_serve), METH_FASTCALL | METH_KEYWORDS,
     "serve($self)\n--\n\n"},
    {"callback", method(com_socket_server_callback), METH_FASTCALL | METH_KEYWORDS,
     "callback($self, id, status, data)\n--\n\n"},
    {"close", method(com_socket_server_close), METH_FASTCALL | METH_KEYWORDS,
     "close($self)\n--\n\n"},
    {"wait_disconnected", method(com_socket_server_wait_disconnected),
     METH_FASTCALL | METH_KEYWORDS, "wait_disconnected($self, timeout=None)\n--\n\n"},
    {"open_async", method(com_socket_server_open_async), METH_FASTCALL | METH_KEYWORDS,
     "open_async($self)\n--\n\n"},
    {"wait_disconnected_async", method(com_socket_server_wait_disconnected_async),
     METH_FASTCALL | METH_KEYWORDS, "wait_disconnected_async($self, timeout=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot com_socket_server_slots[] = {
    {Py_tp_new, slot(com_socket_server_new)},
    {Py_tp_dealloc, slot(object_dealloc<ComSocketServerState>)},
    {Py_tp_traverse, slot(com_socket_server_traverse)},
    {Py_tp_clear, slot(com_socket_server_clear)},
    {Py_tp_getset, com_socket_server_getset},
    {Py_tp_methods, com_socket_server_methods},
    {Py_tp_doc, const_cast<char*>("ComSocketServer(address)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec com_socket_server_spec = {
    .name = "builtins.ComSocketServer",
    .basicsize = sizeof(ComSocketServerObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .slots = com_socket_server_slots,
};

}  // namespace

ClassResult com_socket_server_class() {
    return module_state().com_socket_server.get_or_create(
        [] { return create_class(com_socket_server_spec); });
}

}  // namespace velto::python
