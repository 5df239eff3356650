// Console lines on file descriptor 1, one at a time or collected.
#include "net/console.hpp"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <string>

#include "common/system_call.hpp"

namespace velto::net {

void console_line(std::string_view text) noexcept {
    std::string line;
    try {
        line.reserve(text.size() + 1);
        line.append(text);
        line.push_back('\n');
    } catch (...) {
        return;  // out of memory: a progress line is not worth a fault
    }
    // One write per line keeps concurrent lines whole. A failure is dropped: standard output is
    // gone and there is nobody left to tell.
    static_cast<void>(write_all(STDOUT_FILENO, line));
}

ConsoleBuffer& ConsoleBuffer::append(std::string_view text) noexcept {
    if (text.size() > capacity - used_) {
        flush();
        if (text.size() > capacity) {
            static_cast<void>(write_all(STDOUT_FILENO, text));
            return *this;
        }
    }
    std::copy(text.begin(), text.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(used_));
    used_ += text.size();
    return *this;
}

ConsoleBuffer& ConsoleBuffer::append_decimal(std::uint64_t value) noexcept {
    std::array<char, 20> digits;  // the most a 64-bit value takes
    const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), value).ptr;
    return append(std::string_view(digits.data(), static_cast<std::size_t>(end - digits.data())));
}

void ConsoleBuffer::flush() noexcept {
    if (used_ == 0) return;
    static_cast<void>(write_all(STDOUT_FILENO, std::string_view(bytes_.data(), used_)));
    used_ = 0;
}

}  // namespace velto::net
