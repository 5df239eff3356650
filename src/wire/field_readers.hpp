// Readers for the scalar fields (u8, f32, boolean) and for record and variant keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

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

// A record key in map form: a field name (string or bin, compared byte for byte) or a field
// position (any unsigned encoding). `index` is the field's position, or `fields.size()` for a
// key that names no field (its value is then to be skipped).
bool read_field_key(Reader& r, std::span<const std::string_view> fields, std::size_t& index);

// A union's variant selector: a variant name (string or bin) or a position (any unsigned
// encoding). Anything else fails with the union rule's message.
bool read_variant_key(Reader& r, std::span<const std::string_view> variants, std::size_t& index);

}  // namespace velto::wire::detail
