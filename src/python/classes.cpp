// The shared steps of class creation, and the borrow guards' two refusals.
#include "python/classes.hpp"

#include <cstring>

#include "python/errors.hpp"
#include "python/faults.hpp"

namespace velto::python {

namespace {

const char* type_spec_doc(const PyType_Spec& type_spec) {
    for (const PyType_Slot* entry = type_spec.slots; entry->slot != 0; ++entry) {
        if (entry->slot == Py_tp_doc) return static_cast<const char*>(entry->pfunc);
    }
    return nullptr;
}

// Some interpreters (3.9) keep only the part of a PyType_Spec's docstring after the text signature,
// which loses __text_signature__; the class gets its whole docstring back here. The copy is
// made with the allocator the type's deallocation frees tp_doc with.
Status<OperationError> keep_text_signature(PyTypeObject* type, const char* doc) {
    if (doc == nullptr || (type->tp_doc != nullptr && std::strcmp(type->tp_doc, doc) == 0)) {
        return ok_unit;
    }
    const std::size_t size = std::strlen(doc) + 1;
    auto* copy = static_cast<char*>(PyObject_Malloc(size));
    if (copy == nullptr) {
        PyErr_NoMemory();
        return fail(pending_error());
    }
    std::memcpy(copy, doc, size);
    PyObject_Free(const_cast<char*>(type->tp_doc));
    type->tp_doc = copy;
    return ok_unit;
}

}  // namespace

Result<Ref, OperationError> create_class(PyType_Spec& type_spec, PyTypeObject* base) {
    Ref bases;
    if (base != nullptr) {
        bases = steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(base)));
        if (!bases) return fail(pending_error());
    }
    Ref type = steal(PyType_FromSpecWithBases(&type_spec, bases.get()));
    if (!type) return fail(pending_error());
    VELTO_CHECK(
        keep_text_signature(reinterpret_cast<PyTypeObject*>(type.get()), type_spec_doc(type_spec)));
    return type;
}

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
    return object_entry(
        []() -> ObjectResult { return fail(type_error("No constructor defined")); });
}

Status<OperationError> set_class_attribute(PyTypeObject* type, const char* name, Ref value) {
    if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), name, value.get()) < 0) {
        return fail(pending_error());
    }
    return ok_unit;
}

Status<OperationError> set_match_args(PyTypeObject* type, std::span<const std::string_view> names) {
    if (names.empty()) return set_class_attribute(type, "__match_args__", borrow(Py_None));
    Ref tuple = steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!tuple) return fail(pending_error());
    Py_ssize_t position = 0;
    for (std::string_view name : names) {
        PyObject* text =
            PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
        if (text == nullptr) return fail(pending_error());
        PyUnicode_InternInPlace(&text);
        PyTuple_SET_ITEM(tuple.get(), position++, text);  // steals
    }
    return set_class_attribute(type, "__match_args__", std::move(tuple));
}

Result<ExclusiveBorrow, OperationError> ExclusiveBorrow::take(BorrowState& state) {
    if (state != 0) return fail(runtime_error("Already borrowed"));
    state = -1;
    return ExclusiveBorrow(state);
}

Result<SharedBorrow, OperationError> SharedBorrow::take(BorrowState& state) {
    if (state == -1) return fail(runtime_error("Already mutably borrowed"));
    ++state;
    return SharedBorrow(state);
}

}  // namespace velto::python
