// The network methods of ComSocketServer: open($self), serve($self), callback($self, id,
// status, data) and close($self), listed in the class's method table.
#pragma once

#include "python/python.hpp"

namespace velto::python {

// com_socket_server_lifecycle.cpp: accepting a client, starting and stopping the serving thread.
PyObject* com_socket_server_open(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                 PyObject* kwnames);
PyObject* com_socket_server_serve(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                  PyObject* kwnames);
PyObject* com_socket_server_close(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                  PyObject* kwnames);

// com_socket_server_callback.cpp: writing one result frame to the client.
PyObject* com_socket_server_callback(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                     PyObject* kwnames);

}  // namespace velto::python
