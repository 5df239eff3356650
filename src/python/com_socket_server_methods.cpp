// The one method table of ComSocketServer. Each row's docstring is exactly its text signature.
#include "python/com_socket_server.hpp"

namespace velto::python {

PyMethodDef* com_socket_server_methods() {
    static PyMethodDef methods[] = {
        {"on", method(com_socket_server_on), METH_FASTCALL | METH_KEYWORDS,
         "on($self, id, widget, action)\n--\n\n"},
        {"_get_action", method(com_socket_server_get_action), METH_FASTCALL | METH_KEYWORDS,
         "_get_action($self, key)\n--\n\n"},
        {nullptr, nullptr, 0, nullptr},
    };
    return methods;
}

}  // namespace velto::python
