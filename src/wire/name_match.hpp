// Matching a key's bytes against a list of names fixed at compile time, without a call to memcmp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

namespace velto::wire::detail {

// Loads `sizeof(Word)` bytes from anywhere; the compiler makes it one unaligned load.
template <class Word>
inline Word load(const char* bytes) noexcept {
    Word word;
    std::memcpy(&word, bytes, sizeof(Word));
    return word;
}

// Whether the `Length` bytes at `a` and at `b` are the same. With the length known, two
// overlapping loads of the widest word that fits cover the whole name (three above 16 bytes).
template <std::size_t Length>
inline bool same_bytes(const char* a, const char* b) noexcept {
    if constexpr (Length == 0) {
        return true;
    } else if constexpr (Length == 1) {
        return a[0] == b[0];
    } else if constexpr (Length < 4) {
        return load<std::uint16_t>(a) == load<std::uint16_t>(b) &&
               load<std::uint16_t>(a + Length - 2) == load<std::uint16_t>(b + Length - 2);
    } else if constexpr (Length < 8) {
        return load<std::uint32_t>(a) == load<std::uint32_t>(b) &&
               load<std::uint32_t>(a + Length - 4) == load<std::uint32_t>(b + Length - 4);
    } else if constexpr (Length <= 16) {
        return load<std::uint64_t>(a) == load<std::uint64_t>(b) &&
               load<std::uint64_t>(a + Length - 8) == load<std::uint64_t>(b + Length - 8);
    } else {
        return same_bytes<16>(a, b) && same_bytes<Length - 16>(a + 16, b + 16);
    }
}

template <const auto& Names, std::size_t... I>
inline std::size_t find_name_in(std::string_view key, std::index_sequence<I...>) noexcept {
    std::size_t found = Names.size();
    static_cast<void>(
        ((key.size() == Names[I].size() &&
          same_bytes<Names[I].size()>(key.data(), Names[I].data()) && (found = I, true)) ||
         ...));
    return found;
}

// The position of `key` among `Names` (a std::array of std::string_view), or `Names.size()`.
template <const auto& Names>
inline std::size_t find_name(std::string_view key) noexcept {
    return find_name_in<Names>(key, std::make_index_sequence<Names.size()>{});
}

}  // namespace velto::wire::detail
