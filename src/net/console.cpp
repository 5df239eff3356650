// Collected console lines written out to file descriptor 1.
#include "net/console.hpp"

#include <unistd.h>

#include <cerrno>

#include "common/system_call.hpp"

namespace velto::net {

ConsoleBuffer& ConsoleBuffer::append_after_flush(std::string_view text) noexcept {
    flush();
    if (text.size() > capacity) {
        static_cast<void>(write_all(STDOUT_FILENO, text));
        return *this;
    }
    return append(text);
}

void ConsoleBuffer::flush() noexcept {
    if (used_ == 0) return;
    std::string_view text(bytes_.data(), used_);
    used_ = 0;
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
