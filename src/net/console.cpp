// Console lines on file descriptor 1, one at a time or collected.
#include "net/console.hpp"

#include <unistd.h>

#include <cerrno>
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

ConsoleBuffer& ConsoleBuffer::append_after_flush(std::string_view text) noexcept {
    flush();
    if (text.size() > capacity) {
        if (writes_) static_cast<void>(write_all(STDOUT_FILENO, text));
        return *this;
    }
    return append(text);
}

void ConsoleBuffer::flush() noexcept {
    if (used_ == 0) return;
    std::string_view text(bytes_.data(), used_);
    used_ = 0;
    if (!writes_) return;
    // The first write is made here, as write_all would make it: the usual outcome, every byte
    // taken, then costs no error values. What it leaves (cut short by a signal or a full pipe)
    // goes on through write_all; a failure or a write that takes nothing is dropped, as there.
    const ssize_t written = ::write(STDOUT_FILENO, text.data(), text.size());
    if (written < 0 && errno != EINTR) return;
    if (written == 0) return;
    if (written > 0) text.remove_prefix(static_cast<std::size_t>(written));
    if (!text.empty()) static_cast<void>(write_all(STDOUT_FILENO, text));
}

}  // namespace velto::net
