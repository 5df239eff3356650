// The module's classes: heap types made from a PyType_Spec, created once per process and kept
// in the module state's cells, with the properties all of them share (named "builtins.<Name>", no
// instance dict, no weak references, final unless asked otherwise); the layout of every instance
// (interpreter header, borrow state, value); and the borrow guards that give calls exclusive or
// shared access to one instance.
#pragma once

#include "python/python.hpp"

#include <memory>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>

#include "common/result.hpp"
#include "python/errors.hpp"
#include "python/module_state.hpp"
#include "python/ref.hpp"

namespace velto::python {

// PyType_FromSpecWithBases with `base` (or object). The PyType_Spec's name must be
// "builtins.<Name>" and, like its slots, static: the interpreter keeps pointers into it.
Result<Ref, OperationError> create_class(PyType_Spec& type_spec, PyTypeObject* base = nullptr);

// The tp_new of classes without a constructor: TypeError "No constructor defined".
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Sets a class attribute (members of enumerations, kind classes, __match_args__).
Status<OperationError> set_class_attribute(PyTypeObject* type, const char* name, Ref value);

// __match_args__: the tuple of `names`, or None when there are none.
Status<OperationError> set_match_args(PyTypeObject* type, std::span<const std::string_view> names);

// Function pointers as the void* of a PyType_Slot, and as a PyMethodDef's PyCFunction.
template <class Function>
void* slot(Function* function) noexcept {
    return reinterpret_cast<void*>(function);
}
template <class Function>
PyCFunction method(Function* function) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// 0: nobody uses the object; -1: one call has exclusive access; n > 0: n calls share it. Only
// changed with the interpreter lock held, so a plain word is enough.
using BorrowState = Py_ssize_t;

template <class Value>
struct Object {
    PyObject ob_base;  // what PyObject_HEAD declares
    BorrowState borrow_state;
    Value value;
};

template <class Value>
Object<Value>* object_cast(PyObject* object) noexcept {
    return reinterpret_cast<Object<Value>*>(object);
}

// Exclusive access for its lifetime ("Already borrowed" when anyone else uses the object).
class ExclusiveBorrow {
  public:
    static Result<ExclusiveBorrow, OperationError> take(BorrowState& state);
    ExclusiveBorrow(ExclusiveBorrow&& other) noexcept
        : state_(std::exchange(other.state_, nullptr)) {}
    ExclusiveBorrow& operator=(ExclusiveBorrow&&) = delete;
    ~ExclusiveBorrow() {
        if (state_ != nullptr) *state_ = 0;
    }

  private:
    explicit ExclusiveBorrow(BorrowState& state) noexcept : state_(&state) {}
    BorrowState* state_;
};

// Shared access for its lifetime ("Already mutably borrowed" while a call has exclusive access).
class SharedBorrow {
  public:
    static Result<SharedBorrow, OperationError> take(BorrowState& state);
    SharedBorrow(SharedBorrow&& other) noexcept : state_(std::exchange(other.state_, nullptr)) {}
    SharedBorrow& operator=(SharedBorrow&&) = delete;
    ~SharedBorrow() {
        if (state_ != nullptr) --*state_;
    }

  private:
    explicit SharedBorrow(BorrowState& state) noexcept : state_(&state) {}
    BorrowState* state_;
};

// Allocates an instance of `type` through its own allocator and moves `value` into it. The
// value is built before the allocation, so nothing can fail between the allocation (which may
// make the object visible to the cycle collector) and the value's construction.
template <class Value>
Result<Ref, OperationError> new_object(PyTypeObject* type, Value&& value) {
    using Stored = std::remove_cvref_t<Value>;
    static_assert(std::is_nothrow_move_constructible_v<Stored>);
    Stored staged(std::forward<Value>(value));
    Ref object = steal(type->tp_alloc(type, 0));
    if (!object) return fail(pending_error());
    Object<Stored>* instance = object_cast<Stored>(object.get());
    instance->borrow_state = 0;
    std::construct_at(&instance->value, std::move(staged));
    return object;
}

// The deallocator of every module class: destroys the value, frees the memory and drops the
// instance's reference to its (heap) class. It carries out no deferred releases: they may run any
// Python code, which has no place in a noexcept frame, and every entry point does it anyway.
template <class Value>
void object_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    if (PyType_IS_GC(type)) PyObject_GC_UnTrack(self);
    std::destroy_at(&object_cast<Value>(self)->value);
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace velto::python
