// UTF-8 checks for the decoder: validation of string values and lossy display of bin keys.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace velto::wire::detail {

// Length of the well-formed sequence starting at `bytes[i]`, or 0 if there is none; `bad` then
// receives the length of the maximal subpart to replace (at least 1).
std::size_t utf8_sequence_length(std::string_view bytes, std::size_t i, std::size_t& bad) noexcept;

// The offset of the first byte that does not start a well-formed UTF-8 sequence, or nothing
// when all of `bytes` is valid UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
std::optional<std::size_t> find_invalid_utf8(std::string_view bytes) noexcept;

// `bytes` with every maximal invalid subsequence replaced by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

}  // namespace velto::wire::detail
