// The shared steps of class creation.
#include "python/classes.hpp"

#include "python/boundary.hpp"
#include "python/panic.hpp"

namespace velto::python {

Result<Ref, OperationError> create_class(PyType_Spec& spec, PyTypeObject* base) {
    Ref bases;
    if (base != nullptr) {
        bases = steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(base)));
        if (!bases) return fail(pending_error());
    }
    Ref type = steal(PyType_FromSpecWithBases(&spec, bases.get()));
    if (!type) return fail(pending_error());
    return type;
}

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
    return object_entry([]() -> ObjectResult {
        return fail(host_error(PyExc_TypeError, "No constructor defined"));
    });
}

Status<OperationError> set_class_attribute(PyTypeObject* type, const char* name, Ref value) {
    if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), name, value.get()) < 0) {
        return fail(pending_error());
    }
    return ok_unit;
}

Status<OperationError> set_match_args(PyTypeObject* type, std::span<const char* const> names) {
    if (names.empty()) return set_class_attribute(type, "__match_args__", borrow(Py_None));
    Ref tuple = steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!tuple) return fail(pending_error());
    Py_ssize_t position = 0;
    for (const char* name : names) {
        PyObject* text = PyUnicode_InternFromString(name);
        if (text == nullptr) return fail(pending_error());
        PyTuple_SET_ITEM(tuple.get(), position++, text);  // steals
    }
    return set_class_attribute(type, "__match_args__", std::move(tuple));
}

}  // namespace velto::python
