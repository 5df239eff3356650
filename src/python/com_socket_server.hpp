// ComSocketServer: the object behind the Python class (its fields, its class object, its
// construction) and the Python methods defined for it, each group in its own file.
#pragma once

#include "python/python.hpp"

#include <optional>
#include <string>
#include <unordered_map>

#include "net/fd.hpp"
#include "net/stop_channel.hpp"
#include "python/classes.hpp"
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

// The receiver of a method, with exclusive access for the method's whole run: every method of
// ComSocketServer changes (or may change) the object.
struct ExclusiveServer {
    ComSocketServerState& state;
    ExclusiveBorrow borrow;
};
Result<ExclusiveServer, OperationError> exclusive_server(PyObject* self);

// The method table of the class (com_socket_server_methods.cpp): every Python method of
// ComSocketServer is listed there, its function declared with the file that defines it: below,
// or in com_socket_server_network.hpp for the network methods.
PyMethodDef* com_socket_server_methods();

// com_socket_server_registry.cpp: on($self, id, widget, action), _get_action($self, key).
PyObject* com_socket_server_on(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                               PyObject* kwnames);
PyObject* com_socket_server_get_action(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                       PyObject* kwnames);

}  // namespace velto::python
