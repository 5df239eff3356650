// Owned and borrowed references to Python objects. Every PyObject* that this layer keeps is a
// `Ref`; ownership of a raw pointer is taken only through `steal` or `borrow`, so each C-API
// call site says which of the two the interpreter handed over.
#pragma once

#include "python/python.hpp"

#include <utility>

namespace velto::python {

// True when the calling thread holds the interpreter lock. Unlike PyGILState_Check alone, it
// stays right after the interpreter has torn its thread bookkeeping down at the end of
// finalization (PyGILState_Check then answers yes to every thread) and in processes that
// created sub-interpreters (which switch PyGILState_Check off).
bool holds_interpreter_lock() noexcept;

// Drops one reference. With the interpreter lock held this happens at once; on a thread that
// does not hold it (a serving thread letting go of its snapshot) the release is queued and
// carried out by the next entry point that runs with the lock. The lock is never taken here,
// so this is safe also while (and after) the interpreter finalizes; what is queued then is
// never released, which only the end of the process follows.
void release_reference(PyObject* object) noexcept;

// Carries out the queued releases. Needs the interpreter lock; called at every entry point.
// Not noexcept: a release may run Python code, during which the interpreter may end a thread
// that it is finalizing without by unwinding it, and that unwinding must pass.
void drain_deferred_releases();

// A non-owning view of an object that someone else keeps alive for as long as the view is used.
class Handle {
  public:
    Handle() noexcept = default;
    explicit Handle(PyObject* object) noexcept : object_(object) {}

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

  private:
    PyObject* object_ = nullptr;
};

// Owns one strong reference (or nothing). Move-only: a second reference is made explicitly with
// `clone()`, which needs the interpreter lock.
class Ref {
  public:
    Ref() noexcept = default;
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        // The old object is let go only after this Ref holds the new one: its release may run
        // Python code (a __del__, the cycle collector) that looks at the container of this Ref.
        PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
        if (old != nullptr) release_reference(old);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() {
        if (object_ != nullptr) release_reference(object_);
    }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // A second strong reference to the same object. Needs the interpreter lock.
    Ref clone() const noexcept {
        Py_XINCREF(object_);
        return Ref(object_);
    }

    // Hands the reference to the caller (typically: returned to the interpreter).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

    void reset() noexcept { *this = Ref(); }

    friend Ref steal(PyObject* object) noexcept;
    friend Ref borrow(PyObject* object) noexcept;

  private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}

    PyObject* object_ = nullptr;
};

// Takes over a reference the caller owns (a "new reference" of the C API). Null stays empty.
inline Ref steal(PyObject* object) noexcept {
    return Ref(object);
}

// Makes a new reference to an object the caller only borrows. Needs the interpreter lock.
inline Ref borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return Ref(object);
}
inline Ref borrow(Handle object) noexcept {
    return borrow(object.get());
}

// Lets go of a reference at once, with the lock held. Unlike a Ref's destructor (or `reset`) this
// is not noexcept: the release can run Python code (a __del__, the frames of a traceback) during
// which the interpreter may end a thread that it is finalizing by unwinding it, and that
// unwinding must pass.
inline void release_now(Ref& object) {
    if (PyObject* released = object.release()) Py_DECREF(released);
}

}  // namespace velto::python
