// VeltoPiServer: no fields, no constructor, no instances; only the static method
// use_socket(address), which makes a ComSocketServer.
#include "python/velto_pi_server.hpp"

#include <string>

#include "python/arguments.hpp"
#include "python/com_socket_server.hpp"
#include "python/conversions.hpp"
#include "python/faults.hpp"

namespace velto::python {

namespace {

struct NoFields {};

PyObject* use_socket(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static constexpr Signature<1> signature{"VeltoPiServer.use_socket()", {"address"}};
    return object_entry([&]() -> ObjectResult {
        VELTO_TRY(auto bound, bind(signature, CallArguments::vectorcall(args, nargsf, kwnames)));
        VELTO_TRY(std::string address, argument("address", to_text(bound[0])));
        return new_com_socket_server(std::move(address));
    });
}

PyMethodDef facade_methods[] = {
    {"use_socket", method(use_socket), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "use_socket(address)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot facade_slots[] = {
    {Py_tp_new, slot(no_constructor)},
    {Py_tp_dealloc, slot(object_dealloc<NoFields>)},
    {Py_tp_methods, facade_methods},
    {0, nullptr},
};

PyType_Spec facade_spec = {
    .name = "builtins.VeltoPiServer",
    .basicsize = sizeof(Object<NoFields>),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = facade_slots,
};

}  // namespace

ClassResult velto_pi_server_class() {
    return module_state().velto_pi_server.get_or_create([] { return create_class(facade_spec); });
}

}  // namespace velto::python
