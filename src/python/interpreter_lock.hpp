// The interpreter lock for threads that Python did not create (the serving thread): one thread
// state for the thread's whole life, the lock taken only around the work with Python objects,
// and never taken once the interpreter has begun to finalize.
#pragma once

#include "python/python.hpp"

#include <optional>

#include "python/ref.hpp"

namespace velto::python {

// True once the interpreter is finalizing (or gone). Taking the lock from a foreign thread then
// ends that thread inside the interpreter, so callers check this first.
bool interpreter_finalizing() noexcept;

// A foreign thread's attachment to the interpreter, made and dropped on the thread itself while
// it does not hold the lock. Neither construction, `hold()` nor destruction is noexcept: if the
// interpreter begins to finalize while the thread waits for the lock, the interpreter ends the
// thread by unwinding it, and that unwinding must be let through (every `catch (...)` above
// rethrows it). While the interpreter finalizes, the thread state is left behind on purpose: it
// cannot be deleted without the lock.
class InterpreterAttachment {
  public:
    InterpreterAttachment();  // not attached when the interpreter is finalizing
    InterpreterAttachment(const InterpreterAttachment&) = delete;
    InterpreterAttachment& operator=(const InterpreterAttachment&) = delete;
    ~InterpreterAttachment() noexcept(false);

    bool attached() const noexcept { return state_ != nullptr; }

    // Holds the interpreter lock from `hold()` to its destruction. Python code run meanwhile
    // may let the lock go and take it back; if the interpreter ends the thread there instead,
    // the destruction on the way out leaves the lock alone.
    class Held {
      public:
        Held(Held&& other) noexcept;
        Held& operator=(Held&&) = delete;
        Held(const Held&) = delete;
        ~Held();

        // Lets the lock go now. For the thread that knows it holds the lock (Python code it
        // called has returned), which spares the destructor's check of who holds it.
        void release() noexcept;

      private:
        friend class InterpreterAttachment;
        explicit Held(InterpreterAttachment& owner) noexcept : owner_(&owner) {}
        InterpreterAttachment* owner_;
    };

    // Takes the lock (waiting for it) and carries out the deferred releases, or returns nothing
    // when the thread is not attached or the interpreter is finalizing.
    std::optional<Held> hold();

  private:
    PyThreadState* state_ = nullptr;  // this thread's state while the lock is not held
};

}  // namespace velto::python
