// The module's classes: heap types made from a PyType_Spec, created once per process and kept
// in process-wide cells, with the properties all of them share (named "builtins.<Name>", no
// instance dict, no weak references, final unless asked otherwise); the layout of every instance
// (interpreter header, borrow state, value); and the borrow guards that give calls exclusive or
// shared access to one instance.
#pragma once

#include "python/python.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>

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

// Everything the module keeps for the whole process, in one place: the classes, PanicException,
// the logger of debug records, the module object and the interpreter that imported it. Each
// object is made on first need (the module body asks for every class at import) with the
// interpreter lock held, and never released: instances may outlive everything else.
struct ModuleState {
    ClassCell velto_pi_server;
    ClassCell com_socket_server;
    ClassCell protocol;
    ClassCell server_status;
    ClassCell confirm_result;
    ClassCell error_result;
    ClassCell widget_registry;
    std::array<ClassCell, 6> widget_kinds;  // by WidgetRegistry index
    ClassCell coord;
    // Set once the six kind classes are WidgetRegistry's attributes; a failed attempt leaves the
    // classes made so far in their cells for the next one.
    bool widget_registry_complete = false;

    PyObject* panic_exception = nullptr;

    // The debug log's logger and the interned names of the two methods it calls on it.
    struct Logger {
        PyObject* logger = nullptr;
        PyObject* is_enabled_for = nullptr;
        PyObject* debug = nullptr;
        PyObject* level = nullptr;
    } debug_log;

    // The namespace of the coroutine functions behind the async methods (python/event_loop.cpp),
    // made the first time a program uses one.
    PyObject* event_loop_glue = nullptr;

    PyObject* module = nullptr;
    // The interpreter that imported the module first (-1 before); the objects above belong to it.
    // Atomic because a second interpreter may look at it without the first one's lock.
    std::atomic<std::int64_t> interpreter{-1};
};

// The one instance. Never destroyed: a serving thread may still use it while the process runs
// its static destructors at exit.
ModuleState& module_state() noexcept;

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
