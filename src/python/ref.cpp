// Deferred releases: references dropped by threads that do not hold the interpreter lock wait in
// a queue until an entry point of the module runs with the lock.
#include "python/ref.hpp"

#include <atomic>
#include <mutex>
#include <vector>
namespace velto::python {

namespace {

struct PendingReleases {
    std::mutex mutex;
    std::vector<PyObject*> objects;
    // Lets every entry point skip the mutex when nothing waits, which is almost always.
    std::atomic<bool> any{false};
};

// Never destroyed: a serving thread may still queue a release while the process runs its
// static destructors at exit.
PendingReleases& pending() {
    static PendingReleases* instance = new PendingReleases;
    return *instance;
}

}  // namespace

bool holds_interpreter_lock() noexcept {
    if (PyGILState_Check() == 0) return false;
    // This thread's own state (null once finalization has torn the bookkeeping down) must be
    // the one that holds the lock.
    PyThreadState* mine = PyGILState_GetThisThreadState();
#if PY_VERSION_HEX >= 0x030D0000
    PyThreadState* holder = PyThreadState_GetUnchecked();
#else
    PyThreadState* holder = _PyThreadState_UncheckedGet();
#endif
    return mine != nullptr && mine == holder;
}

void release_reference(PyObject* object) noexcept {
    if (object == nullptr) return;
    if (holds_interpreter_lock()) {
        Py_DECREF(object);
        return;
    }
    PendingReleases& queue = pending();
    std::lock_guard lock(queue.mutex);
    try {
        queue.objects.push_back(object);
        queue.any.store(true, std::memory_order_release);
    } catch (...) {
        // Out of memory while queueing: keeping the object alive for good is the only release
        // that needs neither memory nor the lock.
    }
}

void drain_deferred_releases() {
    PendingReleases& queue = pending();
    if (!queue.any.load(std::memory_order_acquire)) return;
    std::vector<PyObject*> objects;
    {
        std::lock_guard lock(queue.mutex);
        objects.swap(queue.objects);
        queue.any.store(false, std::memory_order_release);
    }
    // Outside the mutex: a release may run Python code that drops further references.
    for (PyObject* object : objects) Py_DECREF(object);
}

}  // namespace velto::python
