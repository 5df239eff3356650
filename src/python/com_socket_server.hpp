// ComSocketServer: the object behind the Python class (its fields, its class object, its
// construction) and the Python methods defined for it, each group in its own file.
#pragma once

#include "python/python.hpp"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>

#include "net/fd.hpp"
#include "net/stop_channel.hpp"
#include "python/arguments.hpp"
#include "python/classes.hpp"
#include "python/errors.hpp"
#include "python/faults.hpp"
#include "python/object.hpp"
#include "python/ref.hpp"

namespace velto::python {

// Action key ("ClickButton_3") to the registered Python object.
using ActionRegistry = std::unordered_map<std::string, Ref>;

struct ComSocketServerState {
    std::string address;     // as given to the constructor; parsed only by open()
    net::Fd stream;          // the accepted connection; invalid when there is none
    ActionRegistry actions;  // strong references, released with the object
    std::optional<net::StopSender> stop_sender;  // set by serve(), never cleared

    // A snapshot for a serving thread: new map, same keys, new references to the same objects.
    // Needs the interpreter lock.
    ActionRegistry clone_action_registry() const;
};

using ComSocketServerObject = Object<ComSocketServerState>;

inline constexpr std::string_view com_socket_server_name = "ComSocketServer";

ClassResult com_socket_server_class();

// A new server for `address`: no connection, no stop channel, an empty registry. The body of
// both ComSocketServer(address) and VeltoPiServer.use_socket(address).
Result<Ref, OperationError> new_com_socket_server(std::string address);

// The receiver of a method: an instance of the class (or of a subclass). No access is taken yet.
Result<ComSocketServerObject*, OperationError> server_receiver(PyObject* self);

// Exclusive access to the server's state, held only around a method's change of state: the
// arguments are converted and the debug record is written before it, and what the change let go
// of (a replaced action) is released after it. All of these can run Python code (an __index__, a
// log handler, a __del__) that may use this server, or let the interpreter lock go so that an
// action on the serving thread answers through callback() meanwhile.
struct ExclusiveServer {
    ComSocketServerState& state;
    ExclusiveBorrow borrow;
};
Result<ExclusiveServer, OperationError> exclusive_server(ComSocketServerObject& server);

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

// The methods, listed in the class's method table (com_socket_server.cpp); the network methods
// are declared in com_socket_server_network.hpp.
// com_socket_server_registry.cpp: on($self, id, widget, action), _get_action($self, key).
PyObject* com_socket_server_on(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                               PyObject* kwnames);
PyObject* com_socket_server_get_action(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                       PyObject* kwnames);

}  // namespace velto::python
