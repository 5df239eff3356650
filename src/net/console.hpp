// Console lines: progress text written straight to file descriptor 1, so that lines from several
// threads never interleave and Python's sys.stdout is never involved.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace velto::net {

// Writes `text` followed by "\n", in one write.
void console_line(std::string_view text) noexcept;

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
    ConsoleBuffer& append(std::string_view text) noexcept;
    ConsoleBuffer& append_decimal(std::uint64_t value) noexcept;
    // `text` and "\n".
    void line(std::string_view text) noexcept { append(text).append("\n"); }

    // Writes what was collected, in one write when it can. A failure is dropped: standard
    // output is gone and there is nobody left to tell.
    void flush() noexcept;

    bool empty() const noexcept { return used_ == 0; }

  private:
    std::array<char, capacity> bytes_;
    std::size_t used_ = 0;
};

}  // namespace velto::net
