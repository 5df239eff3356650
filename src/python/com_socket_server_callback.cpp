// callback(id, status, data): one result frame, encoded and written whole to the client.
#include "python/python.hpp"

#include <cstdint>
#include <vector>

#include "common/fault.hpp"
#include "net/socket.hpp"
#include "python/com_socket_server.hpp"
#include "python/com_socket_server_network.hpp"
#include "python/conversions.hpp"
#include "python/faults.hpp"
#include "python/result_classes.hpp"
#include "python/signal_check.hpp"
#include "python/status_classes.hpp"
#include "wire/frame.hpp"

namespace velto::python {

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
            const std::vector<std::uint8_t> bytes = frame.bufferize();
            VELTO_TRY(ExclusiveServer exclusive, exclusive_server(server));
            if (!exclusive.state.stream.valid()) return fail(OperationError(ServerStateError{}));
            SignalCheck signals;
            auto sent = net::send_all(exclusive.state.stream, bytes, signals.retry());
            if (!sent.ok()) {
                if (signals.raised()) return fail(pending_error());
                return fail(OperationError(std::move(sent).error()));
            }
            return borrow(Py_None);
        });
}

}  // namespace velto::python
