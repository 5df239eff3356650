// Console lines: progress text collected and written straight to file descriptor 1, so that
// lines from several threads never interleave and Python's sys.stdout is never involved.
#pragma once

#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace velto::net {

// The lines of one thread, collected and written together: a busy serving thread would
// otherwise spend most of its time in one write per line. The owner writes them (`flush`)
// whenever their order against other writers to file descriptor 1 could show: before any
// program code runs, before the thread waits, and before it ends. Nothing here allocates.
class ConsoleBuffer {
  public:
    // One pipe write of up to this many bytes is never split by another writer's.
    static constexpr std::size_t capacity = 4096;

    ConsoleBuffer() noexcept = default;
    ConsoleBuffer(const ConsoleBuffer&) = delete;
    ConsoleBuffer& operator=(const ConsoleBuffer&) = delete;
    ~ConsoleBuffer() { flush(); }

    // Pieces of a line; a full buffer is written out first, so the order is kept either way.
    // Inline: the pieces are mostly literals, copied with their length known.
    ConsoleBuffer& append(std::string_view text) noexcept {
        if (text.size() > capacity - used_) return append_after_flush(text);
        std::memcpy(bytes_.data() + used_, text.data(), text.size());
        used_ += text.size();
        return *this;
    }
    ConsoleBuffer& append_decimal(std::uint64_t value) noexcept {
        std::array<char, 20> digits;  // the most a 64-bit value takes
        const char* end = std::to_chars(digits.data(), digits.data() + digits.size(), value).ptr;
        return append(
            std::string_view(digits.data(), static_cast<std::size_t>(end - digits.data())));
    }
    // `text` and "\n".
    void line(std::string_view text) noexcept { append(text).append("\n"); }

    // Writes what was collected, in one write when it can. A failure is dropped: standard
    // output is gone and there is nobody left to tell.
    void flush() noexcept;

  private:
    ConsoleBuffer& append_after_flush(std::string_view text) noexcept;

    std::array<char, capacity> bytes_;
    std::size_t used_ = 0;
};

}  // namespace velto::net
