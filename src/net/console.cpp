// Collected console lines written out to file descriptor 1.
#include "net/console.hpp"

#include <unistd.h>

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
    const std::string_view text(bytes_.data(), used_);
    used_ = 0;
    static_cast<void>(write_all(STDOUT_FILENO, text));
}

}  // namespace velto::net
