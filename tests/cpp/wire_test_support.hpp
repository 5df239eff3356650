// Helpers for the codec and network tests: hand-built MessagePack bytes, frames as comparable
// texts and the table of valid frames in every accepted form.
#pragma once

#include <bit>
#include <charconv>
#include <cstdint>
#include <limits>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "wire/frame.hpp"
#include "wire/result_frame.hpp"

namespace velto::wire::testing {

using Bytes = std::vector<std::uint8_t>;

// "92 03 81" -> {0x92, 0x03, 0x81}; spaces are ignored.
inline Bytes hex(std::string_view text) {
    Bytes out;
    int high = -1;
    for (char c : text) {
        if (c == ' ') continue;
        const int nibble = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
        if (high < 0) {
            high = nibble;
        } else {
            out.push_back(static_cast<std::uint8_t>(high << 4 | nibble));
            high = -1;
        }
    }
    return out;
}

inline Bytes operator+(Bytes left, const Bytes& right) {
    left.insert(left.end(), right.begin(), right.end());
    return left;
}

inline Bytes raw(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

// A string with the shortest header.
inline Bytes str(std::string_view text) {
    Bytes out;
    const std::size_t n = text.size();
    if (n < 32) {
        out.push_back(static_cast<std::uint8_t>(0xa0 | n));
    } else if (n < 256) {
        out = {0xd9, static_cast<std::uint8_t>(n)};
    } else {
        out = {0xda, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
    }
    return out + raw(text);
}

// A bin 8 value.
inline Bytes bin(std::string_view bytes) {
    return Bytes{0xc4, static_cast<std::uint8_t>(bytes.size())} + raw(bytes);
}

inline Bytes big_endian(std::uint64_t value, int width) {
    Bytes out;
    for (int shift = (width - 1) * 8; shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
    return out;
}

inline Bytes f32(float value) {
    return Bytes{0xca} + big_endian(std::bit_cast<std::uint32_t>(value), 4);
}
inline Bytes f64(double value) {
    return Bytes{0xcb} + big_endian(std::bit_cast<std::uint64_t>(value), 8);
}

// A one-entry union map selecting `variant` by name, with the given payload bytes.
inline Bytes variant(std::string_view name, const Bytes& payload) {
    return Bytes{0x81} + str(name) + payload;
}

// An array-form frame around already encoded id and data bytes.
inline Bytes frame(const Bytes& id, const Bytes& data) {
    return Bytes{0x92} + id + data;
}
inline Bytes frame(std::uint8_t id, const Bytes& data) {
    return frame(id < 0x80 ? Bytes{id} : Bytes{0xcc, id}, data);
}

// "Kind_id(fields)", floats in their shortest exact form, so equal texts mean equal frames
// (signed zeros and infinities included; NaN payloads are checked where they matter).
inline std::string describe(const Frame& frame) {
    std::string text = frame.action_key() + "(";
    const auto add = [&text](auto value) {
        char digits[32];
        const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        if (text.back() != '(') text += ',';
        text.append(digits, end);
    };
    if (const auto* t = std::get_if<ToggleButton>(&frame.data)) {
        add(int{t->value});
    } else if (const auto* p = std::get_if<PressButton>(&frame.data)) {
        add(int{p->pressed});
    } else if (const auto* d = std::get_if<DirectionalButton>(&frame.data)) {
        add(int{d->direction});
    } else if (const auto* j = std::get_if<Joystick>(&frame.data)) {
        for (float v : {j->delta.x, j->delta.y, j->intensity}) add(v);
    }
    return text + ")";
}

struct ValidFrame {
    std::string name;
    Bytes bytes;
    Frame expected;
};

// Test names instead of raw bytes in failure reports.
inline void PrintTo(const ValidFrame& c, std::ostream* out) {
    *out << c.name;
}

inline Frame make(std::uint8_t id, WidgetRegistry data) {
    return Frame{id, std::move(data)};
}

// Frames in every accepted form, each with the frame it must decode to.
inline std::vector<ValidFrame> valid_frames() {
    const Bytes toggle_true = variant("ToggleButton", hex("91 c3"));
    const Bytes joystick_f32 =
        variant("Joystick", Bytes{0x92, 0x92} + f32(0.5f) + f32(-1.0f) + f32(0.75f));
    const Joystick joystick_123{{1.0f, 2.0f}, 3.0f};
    return {
        // One frame of each common shape, byte for byte.
        {"toggle_array_form", hex("92 03 81 ac 54 6f 67 67 6c 65 42 75 74 74 6f 6e 91 c3"),
         make(3, ToggleButton{true})},
        {"toggle_map_form",
         hex("82 a2 69 64 03 a4 64 61 74 61 81 ac 54 6f 67 67 6c 65 42 75 74 74 6f 6e 81 a5 76 61 "
             "6c 75 65 c3"),
         make(3, ToggleButton{true})},
        {"joystick_float32",
         hex("92 07 81 a8 4a 6f 79 73 74 69 63 6b 92 92 ca 3f 00 00 00 ca bf 80 00 00 ca 3f 40 00 "
             "00"),
         make(7, Joystick{{0.5f, -1.0f}, 0.75f})},
        {"click_by_position", hex("92 01 81 00 90"), make(1, ClickButton{})},

        // Empty records: empty array, any map, any bin.
        {"click_map_payload", frame(2, variant("ClickButton", hex("80"))), make(2, ClickButton{})},
        {"click_bin_payload", frame(2, variant("ClickButton", hex("c4 02 01 02"))),
         make(2, ClickButton{})},
        {"click_map_payload_entries_skipped",
         frame(2, variant("ClickButton", Bytes{0x82} + str("a") + hex("92 01 80") + hex("07 c0"))),
         make(2, ClickButton{})},
        {"confirm_by_name", frame(5, variant("ConfirmButton", hex("90"))),
         make(5, ConfirmButton{})},
        {"confirm_by_position", frame(5, hex("81 02 c4 00")), make(5, ConfirmButton{})},

        // Variant selectors: name as str 8/16 or bin, position in every unsigned encoding.
        {"press_by_bin_name", frame(9, Bytes{0x81} + bin("PressButton") + hex("91 c2")),
         make(9, PressButton{false})},
        {"press_by_str8_name", frame(9, hex("81 d9 0b") + raw("PressButton") + hex("91 c3")),
         make(9, PressButton{true})},
        {"click_by_str16_name", frame(9, hex("81 da 00 0b") + raw("ClickButton") + hex("90")),
         make(9, ClickButton{})},
        {"toggle_by_uint8_position", frame(4, hex("81 cc 01 91 c3")), make(4, ToggleButton{true})},
        {"toggle_by_uint16_position", frame(4, hex("81 cd 00 01 91 c2")),
         make(4, ToggleButton{false})},
        {"press_by_uint32_position", frame(4, hex("81 ce 00 00 00 03 91 c3")),
         make(4, PressButton{true})},
        {"directional_by_uint64_position", frame(4, hex("81 cf 00 00 00 00 00 00 00 04 91 09")),
         make(4, DirectionalButton{9})},

        // Record forms of the payloads.
        {"toggle_payload_map",
         frame(6, variant("ToggleButton", Bytes{0x81} + str("value") + hex("c2"))),
         make(6, ToggleButton{false})},
        {"toggle_payload_map_extra_key",
         frame(6, variant("ToggleButton", Bytes{0x82} + str("extra") + hex("93 c0 80 a1 78") +
                                              str("value") + hex("c3"))),
         make(6, ToggleButton{true})},
        {"toggle_payload_map_by_position", frame(6, variant("ToggleButton", hex("81 00 c3"))),
         make(6, ToggleButton{true})},
        {"toggle_payload_map_bin_key",
         frame(6, variant("ToggleButton", Bytes{0x81} + bin("value") + hex("c3"))),
         make(6, ToggleButton{true})},
        {"directional_bin_payload", frame(8, variant("DirectionalButton", hex("c4 01 05"))),
         make(8, DirectionalButton{5})},
        {"directional_bin_payload_extra_bytes",
         frame(8, variant("DirectionalButton", hex("c4 03 fe 01 02"))),
         make(8, DirectionalButton{254})},
        {"directional_uint8", frame(8, variant("DirectionalButton", hex("91 cc ff"))),
         make(8, DirectionalButton{255})},
        {"directional_uint16", frame(8, variant("DirectionalButton", hex("91 cd 00 07"))),
         make(8, DirectionalButton{7})},
        {"directional_int8", frame(8, variant("DirectionalButton", hex("91 d0 05"))),
         make(8, DirectionalButton{5})},
        {"directional_int16", frame(8, variant("DirectionalButton", hex("91 d1 00 ff"))),
         make(8, DirectionalButton{255})},
        {"directional_int64",
         frame(8, variant("DirectionalButton", hex("91 d3 00 00 00 00 00 00 00 80"))),
         make(8, DirectionalButton{128})},
        {"joystick_fixints", frame(1, variant("Joystick", hex("92 92 01 02 03"))),
         make(1, joystick_123)},
        {"joystick_delta_map_reordered",
         frame(1, variant("Joystick", Bytes{0x92, 0x82} + str("y") + f64(2.0) + str("x") +
                                          f64(1.0) + hex("03"))),
         make(1, joystick_123)},
        {"joystick_delta_map_positions", frame(1, variant("Joystick", hex("92 82 01 02 00 01 03"))),
         make(1, joystick_123)},
        {"joystick_delta_bin", frame(1, variant("Joystick", hex("92 c4 03 01 02 09 03"))),
         make(1, joystick_123)},
        {"joystick_payload_map",
         frame(1, variant("Joystick", Bytes{0x82} + str("intensity") + hex("03") + str("delta") +
                                          hex("92 01 02"))),
         make(1, joystick_123)},
        {"joystick_float64_rounded",
         frame(1, variant("Joystick", Bytes{0x92, 0x92} + f64(0.1) + f64(-2.5) + f64(1e300))),
         make(1, Joystick{{0.1f, -2.5f}, std::numeric_limits<float>::infinity()})},
        {"joystick_signed_and_wide_integers",
         frame(1, variant("Joystick", hex("92 92 ff d3 80 00 00 00 00 00 00 00 "
                                          "cf ff ff ff ff ff ff ff ff"))),
         make(1, Joystick{{-1.0f, -9223372036854775808.0f}, 18446744073709551615.0f})},
        {"joystick_float32_passthrough", frame(1, joystick_f32),
         make(1, Joystick{{0.5f, -1.0f}, 0.75f})},

        // Frame record forms and id encodings.
        {"frame_map_positions", Bytes{0x82, 0x00, 0x03, 0x01} + toggle_true,
         make(3, ToggleButton{true})},
        {"frame_map_reordered", Bytes{0x82} + str("data") + toggle_true + str("id") + hex("cc 80"),
         make(128, ToggleButton{true})},
        {"frame_map_bin_keys", Bytes{0x82} + bin("id") + hex("11") + bin("data") + toggle_true,
         make(17, ToggleButton{true})},
        {"frame_map_unknown_keys_skipped",
         Bytes{0x85} + str("extra") + hex("dc 00 02 de 00 01 a1 6b 91 90 c7 02 05 00 00") +
             hex("02 cb 3f f0 00 00 00 00 00 00") + hex("cf 00 00 00 01 00 00 00 00 c4 01 ff") +
             str("id") + hex("2a") + str("data") + toggle_true,
         make(42, ToggleButton{true})},
        {"frame_map_skipped_invalid_utf8_and_ext",
         hex("84 a2 ff fe c0") + hex("05 92 d8 01") + Bytes(16, 0) + hex("d4 07 00") +
             hex("00 04") + hex("01") + toggle_true,
         make(4, ToggleButton{true})},
        {"frame_array16", hex("dc 00 02 03") + toggle_true, make(3, ToggleButton{true})},
        {"frame_array32", hex("dd 00 00 00 02 03") + toggle_true, make(3, ToggleButton{true})},
        {"frame_map16_union", hex("92 03 de 00 01") + str("ToggleButton") + hex("91 c3"),
         make(3, ToggleButton{true})},
        {"id_uint8_255", frame(hex("cc ff"), toggle_true), make(255, ToggleButton{true})},
        {"id_uint16", frame(hex("cd 00 ff"), toggle_true), make(255, ToggleButton{true})},
        {"id_uint32", frame(hex("ce 00 00 00 07"), toggle_true), make(7, ToggleButton{true})},
        {"id_uint64", frame(hex("cf 00 00 00 00 00 00 00 00"), toggle_true),
         make(0, ToggleButton{true})},
        {"id_int8_nonnegative", frame(hex("d0 00"), toggle_true), make(0, ToggleButton{true})},
        {"id_int32", frame(hex("d2 00 00 00 c8"), toggle_true), make(200, ToggleButton{true})},
    };
}

}  // namespace velto::wire::testing
