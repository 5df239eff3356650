// The ComSocketServer class: construction, the address attribute, the one method table, and the
// lifetime of the object's connection and registry (released with the object; cycles through
// registered actions are visible to the cycle collector).
#include "python/com_socket_server.hpp"

#include "python/arguments.hpp"
#include "python/attributes.hpp"
#include "python/com_socket_server_network.hpp"

namespace velto::python {

namespace {

ClassCell server_cell;

ComSocketServerState& state_of(PyObject* self) {
    return object_cast<ComSocketServerState>(self)->value;
}

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

// A program's actions often refer back to the server (a closure, or the module globals that
// hold it), so the registry can close a reference cycle; the collector needs to see it.
int com_socket_server_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    for (const auto& entry : state_of(self).actions) Py_VISIT(entry.second.get());
    return 0;
}

int com_socket_server_clear(PyObject* self) {
    ActionRegistry released;
    released.swap(state_of(self).actions);  // the map is empty before any release runs code
    return 0;
}

PyGetSetDef com_socket_server_getset[] = {
    {"address", com_socket_server_address, nullptr, nullptr, nullptr},
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

ActionRegistry ComSocketServerState::clone_action_registry() const {
    ActionRegistry snapshot;
    snapshot.reserve(actions.size());
    for (const auto& [key, action] : actions) snapshot.emplace(key, action.clone());
    return snapshot;
}

ClassResult com_socket_server_class() {
    return server_cell.get_or_create([] { return create_class(com_socket_server_spec); });
}

Result<Ref, OperationError> new_com_socket_server(std::string address) {
    VELTO_TRY(PyTypeObject * type, com_socket_server_class());
    return new_object(type, ComSocketServerState{.address = std::move(address),
                                                 .stream = net::Fd(),
                                                 .actions = {},
                                                 .stop_sender = std::nullopt});
}

Result<ComSocketServerObject*, OperationError> server_receiver(PyObject* self) {
    return to_object<ComSocketServerState>(Handle(self), com_socket_server_class(),
                                           com_socket_server_name);
}

Result<ExclusiveServer, OperationError> exclusive_server(ComSocketServerObject& server) {
    VELTO_TRY(ExclusiveBorrow borrow, ExclusiveBorrow::take(server.borrow_state));
    return ExclusiveServer{server.value, std::move(borrow)};
}

}  // namespace velto::python
