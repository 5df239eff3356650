// UTF-8 validation and lossy conversion by the well-formed byte sequences of Unicode.
#include "wire/utf8.hpp"

#include <cstdint>

namespace velto::wire::detail {

std::size_t utf8_sequence_length(std::string_view bytes, std::size_t i, std::size_t& bad) noexcept {
    const auto at = [&](std::size_t k) { return static_cast<std::uint8_t>(bytes[k]); };
    const std::uint8_t lead = at(i);
    bad = 1;
    if (lead < 0x80) return 1;
    std::size_t need = 0;
    std::uint8_t low = 0x80;
    std::uint8_t high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        need = 1;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        need = 2;
        if (lead == 0xe0) low = 0xa0;   // no overlong forms
        if (lead == 0xed) high = 0x9f;  // no surrogates
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        need = 3;
        if (lead == 0xf0) low = 0x90;   // no overlong forms
        if (lead == 0xf4) high = 0x8f;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    for (std::size_t k = 1; k <= need; ++k) {
        if (i + k >= bytes.size()) {
            bad = k;
            return 0;
        }
        const std::uint8_t c = at(i + k);
        const std::uint8_t lo = k == 1 ? low : 0x80;
        const std::uint8_t hi = k == 1 ? high : 0xbf;
        if (c < lo || c > hi) {
            bad = k;
            return 0;
        }
    }
    return need + 1;
}

std::optional<std::size_t> find_invalid_utf8(std::string_view bytes) noexcept {
    std::size_t i = 0;
    while (i < bytes.size()) {
        // ASCII runs are the common case for names and messages.
        if (static_cast<std::uint8_t>(bytes[i]) < 0x80) {
            ++i;
            continue;
        }
        std::size_t bad = 0;
        const std::size_t n = utf8_sequence_length(bytes, i, bad);
        if (n == 0) return i;
        i += n;
    }
    return std::nullopt;
}

std::string utf8_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        std::size_t bad = 0;
        const std::size_t n = utf8_sequence_length(bytes, i, bad);
        if (n == 0) {
            out += "\xef\xbf\xbd";
            i += bad;
        } else {
            out.append(bytes.substr(i, n));
            i += n;
        }
    }
    return out;
}

}  // namespace velto::wire::detail
