// The one method table of ComSocketServer. Each row's docstring is exactly its text signature.
#include "python/com_socket_server.hpp"
#include "python/com_socket_server_network.hpp"

namespace velto::python {

PyMethodDef* com_socket_server_methods() {
    static PyMethodDef methods[] = {
        {"on", method(com_socket_server_on), METH_FASTCALL | METH_KEYWORDS,
         "on($self, id, widget, action)\n--\n\n"},
        {"_get_action", method(com_socket_server_get_action), METH_FASTCALL | METH_KEYWORDS,
         "_get_action($self, key)\n--\n\n"},
        {"open", method(com_socket_server_open), METH_FASTCALL | METH_KEYWORDS,
         "open($self)\n--\n\n"},
        {"serve", method(com_socket_server_serve), METH_FASTCALL | METH_KEYWORDS,
         "serve($self)\n--\n\n"},
        {"callback", method(com_socket_server_callback), METH_FASTCALL | METH_KEYWORDS,
         "callback($self, id, status, data)\n--\n\n"},
        {"close", method(com_socket_server_close), METH_FASTCALL | METH_KEYWORDS,
         "close($self)\n--\n\n"},
        {nullptr, nullptr, 0, nullptr},
    };
    return methods;
}

}  // namespace velto::python
