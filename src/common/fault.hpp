// Faults: conditions the module does not recover from. One exception type, thrown by one
// helper, caught only at the boundaries (Python entry points and the top of a serving thread).
#pragma once

#include <source_location>
#include <string>

namespace velto {

class Fault {
public:
    Fault(std::string message, std::source_location where) noexcept
        : message_(std::move(message)), where_(where) {}

    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }

private:
    std::string message_;
    std::source_location where_;
};

// Writes the fault report to standard error (file descriptor 2) as one write, so reports from
// several threads never interleave: the thread's name (or "<unnamed>"), the source location
// and the message.
void report_fault(const Fault& fault) noexcept;

// Raises a fault. Reporting happens here, where the condition is detected, so that the report
// is written even when the fault is later turned into a Python exception.
[[noreturn]] void raise_fault(std::string message,
                              std::source_location where = std::source_location::current());

// Same, for a fault whose report the caller already wrote (a fault that travelled through
// Python is reported once, by its recognition, and not a second time here).
[[noreturn]] void raise_reported_fault(std::string message,
                                       std::source_location where = std::source_location::current());

}  // namespace velto
