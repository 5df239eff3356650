// Readers for the scalar fields (u8, f32, boolean) and for record and variant keys.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "wire/name_match.hpp"
#include "wire/reader.hpp"

namespace velto::wire::detail {

// Describes the next value for a failure message (U), reading no more of it than the
// description needs: numbers and strings are read, while bin, array, map and extension values
// are named by their marker alone and left unread, so that a reader fails at once rather than
// wait for lengths that cannot change the verdict. Callers fail right after it. Fails itself for
// the reserved byte and for a string that is not valid UTF-8.
bool read_unexpected(Reader& r, Unexpected& found);

// The slow paths take every marker that their inline fast paths below leave to them.
bool read_u8_slow(Reader& r, std::uint8_t marker, std::uint8_t& out);
bool read_f32_slow(Reader& r, std::uint8_t marker, float& out);
// Every marker that reaches it fails.
bool read_bool_slow(Reader& r, std::uint8_t marker);

// Any integer encoding whose value lies in 0..255.
inline bool read_u8(Reader& r, std::uint8_t& out) {
    std::uint8_t marker = 0;
    if (!r.peek(marker)) return false;
    if (marker <= 0x7f) {
        r.skip_marker();
        out = marker;
        return true;
    }
    return read_u8_slow(r, marker, out);
}

// Float 32 as is, float 64 rounded to nearest, any integer converted to nearest.
inline bool read_f32(Reader& r, float& out) {
    std::uint8_t marker = 0;
    if (!r.peek(marker)) return false;
    if (marker == 0xca) return r.read_float32(out);
    return read_f32_slow(r, marker, out);
}

// Only 0xc2 and 0xc3.
inline bool read_bool(Reader& r, bool& out) {
    std::uint8_t marker = 0;
    if (!r.peek(marker)) return false;
    if (marker == 0xc2 || marker == 0xc3) {
        r.skip_marker();
        out = marker == 0xc3;
        return true;
    }
    return read_bool_slow(r, marker);
}

// The general paths of the two key readers below, for every key their inline fast paths leave
// to them.
bool read_field_key_slow(Reader& r, std::span<const std::string_view> fields, std::size_t& index);
bool read_variant_key_slow(Reader& r, std::span<const std::string_view> variants,
                           std::size_t& index);

// A record key in map form: a field name (string or bin, compared byte for byte) or a field
// position (any unsigned encoding). `index` is the field's position, or `fields.size()` for a
// key that names no field (its value is then to be skipped).
template <const auto& Fields>
inline bool read_field_key(Reader& r, std::size_t& index) {
    constexpr std::size_t N = Fields.size();
    // A short name whose bytes are all there, or a small position: what clients send.
    std::string_view key;
    if (r.peek_fixstr(key)) {
        r.skip_past(key);
        index = find_name<Fields>(key);
        return true;
    }
    std::uint8_t marker = 0;
    if (!r.peek(marker)) return false;
    if (marker <= 0x7f) {
        r.skip_marker();
        index = marker < N ? marker : N;
        return true;
    }
    return read_field_key_slow(r, Fields, index);
}

// A union's variant selector: a variant name (string or bin) or a position (any unsigned
// encoding). Anything else fails with the union rule's message.
template <const auto& Variants>
inline bool read_variant_key(Reader& r, std::size_t& index) {
    constexpr std::size_t N = Variants.size();
    // Only a selector that names a variant is taken here: an unknown one leaves the reader where
    // it was, for the general path to describe.
    std::uint8_t marker = 0;
    if (!r.peek(marker)) return false;
    if (marker < N) {
        r.skip_marker();
        index = marker;
        return true;
    }
    std::string_view key;
    if (r.peek_fixstr(key)) {
        index = find_name<Variants>(key);
        if (index < N) {
            r.skip_past(key);
            return true;
        }
    }
    return read_variant_key_slow(r, Variants, index);
}

}  // namespace velto::wire::detail
