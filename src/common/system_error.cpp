// Texts of system errors: the display form for Python callers and the structured form for
// fault messages.
#include "common/system_error.hpp"

#include <cerrno>
#include <cstring>

namespace velto {

namespace {

// strerrordesc_np and strerrorname_np return static, untranslated texts and are safe on any
// thread, unlike strerror.
std::string errno_description(int code) {
    if (const char* text = ::strerrordesc_np(code)) return text;
    return "Unknown error " + std::to_string(code);
}

std::string errno_name(int code) {
    if (const char* name = ::strerrorname_np(code)) return name;
    return "Unknown";
}

}  // namespace

SystemError SystemError::from_errno(int code) {
    return SystemError{code, errno_name(code), errno_description(code)};
}

SystemError SystemError::fixed(std::string kind, std::string message) {
    return SystemError{0, std::move(kind), std::move(message)};
}

std::string SystemError::display() const {
    if (code == 0) return message;
    return message + " (os error " + std::to_string(code) + ")";
}

std::string SystemError::structured() const {
    if (code == 0) return "[" + kind + "] " + message;
    return "[" + kind + ", errno " + std::to_string(code) + "] " + message;
}

}  // namespace velto
