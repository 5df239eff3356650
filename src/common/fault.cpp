// The process-wide fault hook: one report per fault on standard error.
#include "common/fault.hpp"

#include <pthread.h>
#include <unistd.h>

#include <string_view>

#include "common/system_call.hpp"

namespace velto {

namespace {

std::string current_thread_name() {
    char name[64] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0') {
        return "<unnamed>";
    }
    return name;
}

// The path relative to the source tree ("python/decorator.cpp"): build machines' directories
// mean nothing to the user reading the report.
std::string_view source_path(const char* file) {
    std::string_view path(file);
    const auto tree = path.rfind("src/");
    return tree == std::string_view::npos ? path : path.substr(tree + 4);
}

}  // namespace

void report_fault(const Fault& fault) noexcept {
    try {
        std::string report = "velto_protocol: thread '" + current_thread_name() + "' faulted at " +
                             std::string(source_path(fault.where().file_name())) + ":" +
                             std::to_string(fault.where().line()) + ":\n" + fault.message() + "\n";
        if (!fault.details().empty()) {
            report += fault.details();
            if (report.back() != '\n') report += '\n';
        }
        // Standard error itself, not the program's sys.stderr, which it may have replaced or
        // closed. When the descriptor fails there is nowhere left to report to.
        static_cast<void>(write_all(STDERR_FILENO, report));
    } catch (...) {
        // Out of memory while reporting: the fault still travels to its boundary.
    }
}

void raise_fault(std::string message, std::string details, SourceLocation where) {
    Fault fault(std::move(message), std::move(details), where);
    report_fault(fault);
    throw fault;
}

void raise_reported_fault(std::string message, SourceLocation where) {
    throw Fault(std::move(message), where);
}

}  // namespace velto
