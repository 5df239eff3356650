// callback(id, status, data): one result frame, encoded and written whole to the client.
#include <cstdint>
#include <vector>
#include "common/fault.hpp"
#include "net/socket.hpp"
#include "python/arguments.hpp"
#include "python/boundary.hpp"
#include "python/com_socket_server.hpp"
#include "python/com_socket_server_network.hpp"
#include "python/conversions.hpp"
#include "python/panic.hpp"
#include "python/result_classes.hpp"
#include "python/signal_check.hpp"
#include "python/status_classes.hpp"
#include "python/try.hpp"

#include "wire/frame.hpp"

namespace velto::python {

// Writes with the interpreter lock held, on the object's own handle (the serving thread reads
// on its duplicate); an action that answers from inside its call lands here on the serving
// thread, which holds the lock then.
PyObject* com_socket_server_callback(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                     PyObject* kwnames) {
    static constexpr Signature<3> signature{"ComSocketServer.callback()", {"id", "status", "data"}};
    return object_entry([&]() -> ObjectResult {
        VELTO_TRY(auto bound, bind(signature, CallArguments::vectorcall(args, nargsf, kwnames)));
        VELTO_TRY(ExclusiveServer server, exclusive_server(self));
        VELTO_TRY(std::uint8_t id, argument("id", to_u8(bound[0])));
        VELTO_TRY(wire::ServerStatus status, argument("status", to_server_status(bound[1])));
        // The payload is bound before the connection is looked at: bad data is reported even
        // when there is no client.
        auto payload = to_result_binding(bound[2]);
        if (!payload.ok()) {
            raise_fault("Python data failed to be bound: " + payload.error().display());
        }
        if (!server.state.stream.valid()) return fail(OperationError(ServerStateError{}));
        const wire::ResultFrame frame{id, status, std::move(payload).value()};
        const std::vector<std::uint8_t> bytes = frame.bufferize();
        SignalCheck signals;
        auto sent = net::send_all(server.state.stream, bytes, signals.retry());
        if (!sent.ok()) {
            if (signals.raised()) return fail(pending_error());
            return fail(OperationError(std::move(sent).error()));
        }
        return borrow(Py_None);
    });
}

}  // namespace velto::python
