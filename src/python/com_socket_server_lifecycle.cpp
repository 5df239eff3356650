// A server's connection and serving thread: open() accepts one client, serve() starts the
// thread that reads its frames, close() stops that thread or ends the connection.
#include "python/python.hpp"

#include <memory>
#include <utility>

#include "common/fault.hpp"
#include "net/serving_thread.hpp"
#include "net/socket.hpp"
#include "net/stop_channel.hpp"
#include "python/com_socket_server.hpp"
#include "python/com_socket_server_network.hpp"
#include "python/faults.hpp"
#include "python/serving_dispatch.hpp"
#include "python/signal_check.hpp"

namespace velto::python {

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
            auto listener = net::listen_on(server.value.address);
            if (!listener.ok()) {
                raise_fault("Unable to intanstiate TCP Listener. " + listener.error().structured());
            }
            SignalCheck signals;
            auto accepted = net::accept_one(listener.value(), signals.retry());
            if (!accepted.ok()) {
                if (signals.raised()) return fail(pending_error());
                raise_fault("Unable to get new TCP connection. " + accepted.error().structured());
            }
            VELTO_TRY(ExclusiveServer exclusive, exclusive_server(server));
            // The earlier connection's handle is closed without a shutdown: a serving thread
            // started on it keeps its own handle and goes on serving it.
            exclusive.state.stream = std::move(accepted).value();
            // One client per open(): the listening socket goes now, so later clients are refused.
            listener.value().reset();
            return borrow(Py_None);
        });
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
            VELTO_TRY(ExclusiveServer exclusive, exclusive_server(server));
            ComSocketServerState& state = exclusive.state;
            if (!state.stream.valid()) return fail(OperationError(ServerStateError{}));
            auto connection = net::duplicate(state.stream);
            if (!connection.ok()) return fail(OperationError(std::move(connection).error()));
            std::unique_ptr<net::FrameHandler> dispatch =
                make_serving_dispatch(state.clone_action_registry());
            auto channel = net::make_stop_channel();
            if (!channel.ok()) return fail(OperationError(std::move(channel).error()));
            auto [sender, receiver] = std::move(channel).value();
            net::Predecessor predecessor;
            if (state.stop_sender) predecessor = state.stop_sender->retire();
            state.stop_sender = std::move(sender);
            auto spawned =
                net::spawn_serving_thread(std::move(connection).value(), std::move(receiver),
                                          std::move(dispatch), std::move(predecessor));
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
                state.stream.reset();  // no shutdown: the serving thread's handle does that
                return borrow(Py_None);
            }
            if (state.stream.valid()) {
                if (auto down = net::shutdown_both(state.stream); !down.ok()) {
                    return fail(OperationError(std::move(down).error()));
                }
                state.stream.reset();
            }
            return borrow(Py_None);
        });
}

}  // namespace velto::python
