// Faults: conditions the module does not recover from. One exception type, thrown by one
// helper, caught only at the boundaries (Python entry points and the top of a serving thread).
#pragma once

#include <source_location>
#include <string>
#include <string_view>

namespace velto {

#if defined(__cpp_lib_source_location)
using SourceLocation = std::source_location;
#else
// Clang before 15 lacks the builtin behind the standard library's source_location, and the
// fuzz targets are built with such a clang; the older builtins give the same information.
class SourceLocation {
  public:
    static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                            unsigned line = __builtin_LINE(),
                                            const char* function = __builtin_FUNCTION()) noexcept {
        SourceLocation where;
        where.file_ = file;
        where.line_ = line;
        where.function_ = function;
        return where;
    }
    constexpr const char* file_name() const noexcept { return file_; }
    constexpr unsigned line() const noexcept { return line_; }
    constexpr unsigned column() const noexcept { return 0; }
    constexpr const char* function_name() const noexcept { return function_; }

  private:
    const char* file_ = "";
    unsigned line_ = 0;
    const char* function_ = "";
};
#endif

class Fault {
  public:
    Fault(std::string message, SourceLocation where) noexcept
        : message_(std::move(message)), where_(where) {}
    Fault(std::string message, std::string details, SourceLocation where) noexcept
        : message_(std::move(message)), details_(std::move(details)), where_(where) {}

    // What the fault is, as it travels on (the argument of a PanicException, say).
    const std::string& message() const noexcept { return message_; }
    // What helps find its cause (a traceback, the bytes that did not decode): for the report
    // only, so that the message stays the same short text wherever it goes. May be empty.
    const std::string& details() const noexcept { return details_; }
    const SourceLocation& where() const noexcept { return where_; }

  private:
    std::string message_;
    std::string details_;
    SourceLocation where_;
};

// Writes the fault report to standard error (file descriptor 2) as one write, so reports from
// several threads never interleave: the thread's name (or "<unnamed>"), the source location,
// the message on a line of its own and, when there are any, the details after it.
void report_fault(const Fault& fault) noexcept;

// Raises a fault. Reporting happens here, where the condition is detected, so that the report
// is written even when the fault is later turned into a Python exception.
[[noreturn]] void raise_fault(std::string message, std::string details = {},
                              SourceLocation where = SourceLocation::current());

// Same, for a fault whose report the caller already wrote (a fault that travelled through
// Python is reported once, by its recognition, and not a second time here).
[[noreturn]] void raise_reported_fault(std::string message,
                                       SourceLocation where = SourceLocation::current());

}  // namespace velto
