// The cached logger and the level check before each debug record.
#include "python/debug_log.hpp"

#include "python/module_state.hpp"
#include "python/errors.hpp"
#include "python/faults.hpp"

namespace velto::python {

namespace {

constexpr const char* logger_name = "velto_protocol.server.com_socket";
constexpr long debug_level = 10;  // logging.DEBUG, fixed by the logging module's interface

// Obtained once and kept for the rest of the process, like the classes.
Result<ModuleState::Logger*, OperationError> logger_cell() {
    ModuleState::Logger& cell = module_state().debug_log;
    if (cell.logger != nullptr) return &cell;
    VELTO_TRY(Ref logging, owned(PyImport_ImportModule("logging")));
    VELTO_TRY(Ref logger, owned(PyObject_CallMethod(logging.get(), "getLogger", "s", logger_name)));
    VELTO_TRY(Ref is_enabled_for, owned(PyUnicode_InternFromString("isEnabledFor")));
    VELTO_TRY(Ref debug, owned(PyUnicode_InternFromString("debug")));
    VELTO_TRY(Ref level, owned(PyLong_FromLong(debug_level)));
    if (cell.logger == nullptr) {  // the import may have run code that got here first
        cell.is_enabled_for = is_enabled_for.release();
        cell.debug = debug.release();
        cell.level = level.release();
        cell.logger = logger.release();
    }
    return &cell;
}

}  // namespace

Status<OperationError> debug_record(std::string_view message) {
    VELTO_TRY(ModuleState::Logger * cell, logger_cell());
    PyObject* check_args[] = {cell->logger, cell->level};
    VELTO_TRY(Ref enabled,
              owned(PyObject_VectorcallMethod(cell->is_enabled_for, check_args, 2, nullptr)));
    int is_enabled = PyObject_IsTrue(enabled.get());
    if (is_enabled < 0) return fail(pending_error());
    if (is_enabled == 0) return ok_unit;
    VELTO_TRY(Ref text, owned(PyUnicode_FromStringAndSize(
                            message.data(), static_cast<Py_ssize_t>(message.size()))));
    PyObject* debug_args[] = {cell->logger, text.get()};
    VELTO_TRY(Ref logged, owned(PyObject_VectorcallMethod(cell->debug, debug_args, 2, nullptr)));
    return ok_unit;
}

}  // namespace velto::python
