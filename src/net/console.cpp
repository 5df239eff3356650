// Console lines on file descriptor 1.
#include "net/console.hpp"

#include <unistd.h>

#include <cerrno>
#include <string>

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
    // One write per line keeps concurrent lines whole; the loop only continues a write that a
    // signal or a full pipe cut short.
    const char* cursor = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t written = ::write(STDOUT_FILENO, cursor, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return;  // standard output is gone; there is nobody left to tell
        }
        cursor += written;
        left -= static_cast<std::size_t>(written);
    }
}

}  // namespace velto::net
