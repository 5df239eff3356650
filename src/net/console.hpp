// Console lines: progress text written straight to file descriptor 1, one write per line, so
// lines from several threads never interleave and Python's sys.stdout is never involved.
#pragma once

#include <string_view>

namespace velto::net {

// Writes `text` followed by "\n".
void console_line(std::string_view text) noexcept;

}  // namespace velto::net
