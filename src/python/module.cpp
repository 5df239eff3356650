// The module's entry: the one-interpreter check, the cached single-phase module, and the module
// body that adds the seven classes and the function `on`, in order, with __all__.
#include "python/python.hpp"

#include <atomic>
#include <cstdint>

#include "common/fault.hpp"
#include "python/com_socket_server.hpp"
#include "python/errors.hpp"
#include "python/faults.hpp"
#include "python/result_classes.hpp"
#include "python/decorator.hpp"
#include "python/velto_pi_server.hpp"
#include "python/widget_classes.hpp"

namespace velto::python {

namespace {

constexpr const char* module_name = "velto_protocol";

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = module_name,
    .m_doc =
        "Server side of a small remote-control protocol over TCP.\n"
        "A client sends one MessagePack frame per widget interaction; each is decoded on a\n"
        "serving thread and passed to the Python callable registered for that widget.",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

Status<OperationError> add(PyObject* module, const char* name, Ref value) {
    Ref names = steal(PyObject_GetAttrString(module, "__all__"));
    if (!names) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return fail(pending_error());
        PyErr_Clear();
        VELTO_TRY(names, owned(PyList_New(0)));
        if (PyObject_SetAttrString(module, "__all__", names.get()) < 0) {
            return fail(pending_error());
        }
    }
    VELTO_TRY(Ref text, owned(PyUnicode_FromString(name)));
    if (!PyList_Check(names.get()) || PyList_Append(names.get(), text.get()) < 0) {
        if (PyErr_Occurred()) discard_pending_exception();
        raise_fault("could not append __name__ to __all__");
    }
    if (PyObject_SetAttrString(module, name, value.get()) < 0) return fail(pending_error());
    return ok_unit;
}

Status<OperationError> add_class(PyObject* module, const char* name, ClassResult type) {
    if (!type.ok()) return fail(std::move(type).error());
    return add(module, name, borrow(reinterpret_cast<PyObject*>(type.value())));
}

Status<OperationError> module_body(PyObject* module) {
    VELTO_CHECK(add_class(module, "VeltoPiServer", velto_pi_server_class()));
    VELTO_CHECK(add_class(module, "ComSocketServer", com_socket_server_class()));
    VELTO_CHECK(add_class(module, "Protocol", protocol_class()));
    VELTO_CHECK(add_class(module, "ServerStatus", server_status_class()));
    VELTO_CHECK(add_class(module, "ConfirmResult", confirm_result_class()));
    VELTO_CHECK(add_class(module, "ErrorResult", error_result_class()));
    VELTO_CHECK(add_class(module, "WidgetRegistry", widget_registry_class()));
    VELTO_TRY(Ref name, owned(PyUnicode_FromString(module_name)));
    VELTO_TRY(Ref on, owned(PyCFunction_NewEx(on_function_definition(), module, name.get())));
    return add(module, on_function_definition()->ml_name, std::move(on));
}

ObjectResult import_module() {
    install_fault_recognition();
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    const std::int64_t identity = PyInterpreterState_GetID(interpreter);
    if (identity == -1 && PyErr_Occurred()) return fail(pending_error());
    std::int64_t first = -1;
    if (!module_state().interpreter.compare_exchange_strong(first, identity) && first != identity) {
        return fail(import_error(
            "velto_protocol does not support sub-interpreters: it is already imported by another "
            "interpreter of this process"));
    }
    PyObject*& module_cell = module_state().module;
    if (module_cell != nullptr) return borrow(module_cell);
    VELTO_TRY(Ref module, owned(PyModule_Create2(&module_definition, 1013)));
    VELTO_CHECK(module_body(module.get()));
    module_cell = module.clone().release();
    return module;
}

}  // namespace

}  // namespace velto::python

PyMODINIT_FUNC PyInit_velto_protocol() {
    return velto::python::object_entry(velto::python::import_module);
}
