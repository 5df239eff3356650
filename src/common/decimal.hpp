// Reading a decimal number from text: the one parser of ports, scope ids and widget ids.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

namespace velto {

// A decimal number that fits in `Number`, digits only: no sign, no blanks, not empty. Leading
// zeros are read as such; a caller that refuses them checks the text itself.
template <class Number>
constexpr std::optional<Number> parse_decimal(std::string_view text) noexcept {
    static_assert(std::numeric_limits<Number>::max() < std::numeric_limits<std::uint64_t>::max() / 10);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > std::numeric_limits<Number>::max()) return std::nullopt;
    }
    return static_cast<Number>(value);
}

}  // namespace velto
