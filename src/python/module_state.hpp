// What the module keeps for the whole process: the cells of its classes, PanicException, the
// debug log's logger, the module object and the interpreter that imported it.
#pragma once

#include "python/python.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <variant>

#include "common/result.hpp"
#include "python/errors.hpp"
#include "python/ref.hpp"
#include "wire/values.hpp"

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
    std::array<ClassCell, std::variant_size_v<wire::WidgetRegistry>> widget_kinds;  // by index
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

}  // namespace velto::python
