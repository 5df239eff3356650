// Making the module's classes: heap types from a PyType_Spec, created once per process and kept
// in process-wide cells, with the properties all of them share (named "builtins.<Name>", no
// instance dict, no weak references, final unless asked otherwise).
#pragma once

#include "python/python.hpp"

#include <span>
#include <string_view>

#include "common/result.hpp"
#include "python/errors.hpp"
#include "python/ref.hpp"

namespace velto::python {

using ClassResult = Result<PyTypeObject*, OperationError>;

// A class object that lives from its creation to the end of the process. Only touched with the
// interpreter lock held.
class ClassCell {
  public:
    // The class, made by `make` (which returns a new reference) on first need. Making a class
    // can run Python code; if that code made the class meanwhile, the first one stays.
    template <class Make>
    ClassResult get_or_create(Make&& make) {
        if (type_ != nullptr) return type_;
        Result<Ref, OperationError> made = make();
        if (!made.ok()) return fail(std::move(made).error());
        if (type_ == nullptr) {
            type_ = reinterpret_cast<PyTypeObject*>(std::move(made).value().release());
        }
        return type_;
    }

  private:
    PyTypeObject* type_ = nullptr;
};

// PyType_FromSpecWithBases with `base` (or object). The PyType_Spec's name must be
// "builtins.<Name>" and, like its slots, static: the interpreter keeps pointers into it.
Result<Ref, OperationError> create_class(PyType_Spec& type_spec, PyTypeObject* base = nullptr);

// The tp_new of classes without a constructor: TypeError "No constructor defined".
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Sets a class attribute (members of enumerations, kind classes, __match_args__).
Status<OperationError> set_class_attribute(PyTypeObject* type, const char* name, Ref value);

// __match_args__: the tuple of `names`, or None when there are none.
Status<OperationError> set_match_args(PyTypeObject* type, std::span<const char* const> names);

// Function pointers as the void* of a PyType_Slot, and as a PyMethodDef's PyCFunction.
template <class Function>
void* slot(Function* function) noexcept {
    return reinterpret_cast<void*>(function);
}
template <class Function>
PyCFunction method(Function* function) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// The vectorcall-style signature of methods with METH_FASTCALL | METH_KEYWORDS.
using FastMethod = PyObject*(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                             PyObject* kwnames);

}  // namespace velto::python
