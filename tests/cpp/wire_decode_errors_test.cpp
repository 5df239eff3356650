// Frame::parse on invalid input: the failure text of every rule, grouped by rule, and the
// shortest inputs that settle a verdict.
#include <gtest/gtest.h>

#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "wire_test_support.hpp"

namespace velto::wire::testing {
namespace {

struct FailureCase {
    std::string name;
    Bytes bytes;
    std::string text;
    // The shortest input that settles the verdict: one byte fewer is still open. The decoder
    // fails as soon as the input is certainly invalid, instead of reporting it as incomplete and
    // making a stream reader wait for bytes that cannot change the verdict.
    bool shortest = false;
    // Bytes that complete the value as its headers declare it.
    Bytes rest = {};
};

void PrintTo(const FailureCase& c, std::ostream* out) {
    *out << c.name;
}

const std::string kVariants =
    "`ClickButton`, `ToggleButton`, `ConfirmButton`, `PressButton`, `DirectionalButton`, "
    "`Joystick`";
const std::string kReserved =
    "MessagePack type mismatch: found the reserved marker 0xc1, which encodes no value";
const std::string kTooDeep =
    "MessagePack nesting too deep: at most 1023 nested arrays, maps and extension values are "
    "accepted";

const Bytes kToggle = variant("ToggleButton", hex("91 c3"));

class FailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(FailureTest, FailsWithExactText) {
    // An exact-size copy, so that a read beyond the input would be caught by sanitizers.
    const Bytes bytes = GetParam().bytes;
    const auto parsed = Frame::parse(bytes);
    ASSERT_FALSE(parsed.ok()) << "decoded " << describe(parsed->frame);
    EXPECT_EQ(parsed.error().kind, DecodeError::Kind::Invalid);
    EXPECT_EQ(parsed.error().text, GetParam().text);
}

// Where the input ends never changes the verdict: a prefix is incomplete or fails the same way,
// and every completion up to the value's declared end, and bytes beyond it, keep the verdict.
TEST_P(FailureTest, PrefixesAreIncompleteOrFailTheSameWay) {
    const FailureCase& c = GetParam();
    ASSERT_FALSE(c.bytes.empty());
    for (std::size_t k = 0; k < c.bytes.size(); ++k) {
        const auto parsed = Frame::parse(std::span(c.bytes.data(), k));
        ASSERT_FALSE(parsed.ok()) << "prefix " << k;
        if (c.shortest && k + 1 == c.bytes.size()) {
            EXPECT_TRUE(parsed.error().incomplete()) << parsed.error().text;
        } else if (!parsed.error().incomplete()) {
            EXPECT_EQ(parsed.error().text, c.text) << "prefix " << k;
        }
    }
    const Bytes full = c.bytes + c.rest + hex("c1 92 00");
    for (std::size_t k = c.bytes.size(); k <= full.size(); ++k) {
        const auto later = Frame::parse(std::span(full.data(), k));
        ASSERT_FALSE(later.ok()) << k << " bytes decoded";
        ASSERT_EQ(later.error().kind, DecodeError::Kind::Invalid) << k << " bytes";
        ASSERT_EQ(later.error().text, c.text) << k << " bytes";
    }
}

auto case_name = [](const auto& info) { return info.param.name; };

// Records written as arrays: lengths, and the fields read before a surplus is looked at.
INSTANTIATE_TEST_SUITE_P(
    RecordArray, FailureTest,
    ::testing::Values(FailureCase{"empty", hex("90"),
                                  "invalid length 0, expected struct Frame with 2 elements"},
                      FailureCase{"id_only", hex("91 03"),
                                  "invalid length 1, expected struct Frame with 2 elements"},
                      FailureCase{"id_only_invalid_id_first", hex("91 cd 01 00"),
                                  "invalid value: integer `256`, expected u8"},
                      FailureCase{"three_elements", hex("93 03") + kToggle + hex("c0"),
                                  "array had incorrect length, expected 2"},
                      FailureCase{"surplus_not_examined", hex("93 03") + kToggle,
                                  "array had incorrect length, expected 2"},
                      FailureCase{"array16_three", hex("dc 00 03 03") + kToggle,
                                  "array had incorrect length, expected 2"},
                      FailureCase{"fields_read_before_surplus", hex("93 03 c0"),
                                  "invalid type: unit value, expected variant identifier"}),
    case_name);

// Records written as maps: missing and duplicate fields, and keys of every kind.
INSTANTIATE_TEST_SUITE_P(
    RecordMap, FailureTest,
    ::testing::Values(
        FailureCase{"empty", hex("80"), "missing field `id`"},
        FailureCase{"no_data", Bytes{0x81} + str("id") + hex("03"), "missing field `data`"},
        FailureCase{"no_id", Bytes{0x81} + str("data") + kToggle, "missing field `id`"},
        FailureCase{"no_id_with_extra",
                    Bytes{0x82} + str("extra") + hex("c0") + str("data") + kToggle,
                    "missing field `id`"},
        FailureCase{"duplicate_id_before_value",
                    Bytes{0x83} + str("id") + hex("03") + str("id") + hex("c0"),
                    "duplicate field `id`"},
        FailureCase{"duplicate_by_position", Bytes{0x83} + str("id") + hex("03 00 03"),
                    "duplicate field `id`"},
        FailureCase{"duplicate_by_bin_key", Bytes{0x83} + str("data") + kToggle + bin("data"),
                    "duplicate field `data`"},
        FailureCase{"key_int8_zero", hex("82 d0 00 03"),
                    "invalid type: integer `0`, expected field identifier"},
        FailureCase{"key_negative_fixint", hex("82 e0 03"),
                    "invalid type: integer `-32`, expected field identifier"},
        FailureCase{"key_int64_min", hex("81 d3 80 00 00 00 00 00 00 00 03"),
                    "invalid type: integer `-9223372036854775808`, expected field identifier"},
        FailureCase{"key_float32", hex("81 ca 3f 80 00 00 03"),
                    "invalid type: floating point `1.0`, expected field identifier"},
        FailureCase{"key_nil", hex("81 c0 03"),
                    "invalid type: unit value, expected field identifier"},
        FailureCase{"key_reserved", hex("81 c1 03"), kReserved}),
    case_name);

// Records written as byte strings, and values that are no record at all.
INSTANTIATE_TEST_SUITE_P(
    RecordOther, FailureTest,
    ::testing::Values(
        FailureCase{"bin_empty", hex("c4 00"),
                    "invalid length 0, expected struct Frame with 2 elements"},
        FailureCase{"bin_one", hex("c4 01 03"),
                    "invalid length 1, expected struct Frame with 2 elements"},
        FailureCase{"bin_union_byte", hex("c4 02 03 01"),
                    "invalid type: integer `1`, expected enum WidgetRegistry"},
        FailureCase{"bin16_union_byte", hex("c5 00 03 03 00 00"),
                    "invalid type: integer `0`, expected enum WidgetRegistry"},
        FailureCase{"nil", hex("c0"), "invalid type: unit value, expected struct Frame"},
        FailureCase{"false", hex("c2"), "invalid type: boolean `false`, expected struct Frame"},
        FailureCase{"fixint", hex("05"), "invalid type: integer `5`, expected struct Frame"},
        FailureCase{"negative_fixint", hex("ff"),
                    "invalid type: integer `-1`, expected struct Frame"},
        FailureCase{"uint64_max", hex("cf ff ff ff ff ff ff ff ff"),
                    "invalid type: integer `18446744073709551615`, expected struct Frame"},
        FailureCase{"float64", f64(1.5),
                    "invalid type: floating point `1.5`, expected struct Frame"},
        FailureCase{"string", str("abc"), "invalid type: string \"abc\", expected struct Frame"},
        FailureCase{"string_escaped", str("q\"b\\n\n\t\r"),
                    "invalid type: string \"q\\\"b\\\\n\\n\\t\\r\", expected struct Frame"},
        FailureCase{"string_controls", str(std::string("\0\x1b\x7f \xc3\xa9 \xc2\x85", 9)),
                    "invalid type: string \"\\0\\u{1b}\\u{7f} \xc3\xa9 \\u{85}\", expected struct "
                    "Frame"},
        FailureCase{"fixext", hex("d4 01 00"),
                    "invalid type: newtype struct, expected struct Frame"},
        FailureCase{"ext32", hex("c9 00 00 00 01 05 00"),
                    "invalid type: newtype struct, expected struct Frame"},
        FailureCase{"reserved", hex("c1"), kReserved}),
    case_name);

// The widget kind union: selectors, bare keys, entry counts.
INSTANTIATE_TEST_SUITE_P(
    Union, FailureTest,
    ::testing::Values(
        FailureCase{"empty_map", frame(3, hex("80")), "array had incorrect length, expected 0"},
        FailureCase{
            "two_entries",
            frame(3, hex("82") + str("ClickButton") + hex("90") + str("ConfirmButton") + hex("90")),
            "array had incorrect length, expected 2"},
        FailureCase{"map16_three_entries", frame(3, hex("de 00 03")),
                    "array had incorrect length, expected 3"},
        FailureCase{"bare_name", frame(3, str("ClickButton")),
                    "invalid type: unit variant, expected struct variant"},
        FailureCase{"bare_bin_name", frame(3, bin("Joystick")),
                    "invalid type: unit variant, expected struct variant"},
        FailureCase{"bare_position", frame(3, hex("05")),
                    "invalid type: unit variant, expected struct variant"},
        FailureCase{"bare_position_out_of_range", frame(3, hex("06")),
                    "invalid value: integer `6`, expected variant index 0 <= i < 6"},
        FailureCase{"bare_unknown", frame(3, str("Foo")),
                    "unknown variant `Foo`, expected one of " + kVariants},
        FailureCase{"bare_nil", frame(3, hex("c0")),
                    "invalid type: unit value, expected variant identifier"},
        FailureCase{"bare_array", frame(3, hex("92 00 90")),
                    "invalid type: sequence, expected variant identifier"},
        FailureCase{"bare_negative", frame(3, hex("ff")),
                    "invalid type: integer `-1`, expected variant identifier"},
        FailureCase{"key_unknown", frame(3, variant("Foo", hex("90"))),
                    "unknown variant `Foo`, expected one of " + kVariants},
        FailureCase{"key_wrong_case", frame(3, variant("clickbutton", hex("90"))),
                    "unknown variant `clickbutton`, expected one of " + kVariants},
        FailureCase{"key_empty", frame(3, variant("", hex("90"))),
                    "unknown variant ``, expected one of " + kVariants},
        FailureCase{"key_bin_unknown_lossy",
                    frame(3, Bytes{0x81} +
                                 bin("F\xffo\xe1\x80"
                                     "A") +
                                 hex("90")),
                    "unknown variant `F\xef\xbf\xbdo\xef\xbf\xbd"
                    "A`, expected one of " +
                        kVariants},
        FailureCase{
            "key_str_invalid_utf8", frame(3, hex("81 a3 41 ff 42 90")),
            "invalid UTF-8 in a MessagePack string: invalid byte sequence at byte 1 of the string"},
        FailureCase{"key_position_6", frame(3, hex("81 06 90")),
                    "invalid value: integer `6`, expected variant index 0 <= i < 6"},
        FailureCase{"key_position_uint64_max", frame(3, hex("81 cf ff ff ff ff ff ff ff ff 90")),
                    "invalid value: integer `18446744073709551615`, expected variant index 0 <= i "
                    "< 6"},
        FailureCase{"key_negative_fixint", frame(3, hex("81 ff 90")),
                    "invalid type: integer `-1`, expected variant identifier"},
        FailureCase{"key_int8_zero", frame(3, hex("81 d0 00 90")),
                    "invalid type: integer `0`, expected variant identifier"},
        FailureCase{"key_float", frame(3, hex("81 ca 3f 00 00 00 90")),
                    "invalid type: floating point `0.5`, expected variant identifier"},
        FailureCase{"key_false", frame(3, hex("81 c2 90")),
                    "invalid type: boolean `false`, expected variant identifier"},
        FailureCase{"key_nil", frame(3, hex("81 c0 90")),
                    "invalid type: unit value, expected variant identifier"},
        FailureCase{"key_map", frame(3, hex("81 80 90")),
                    "invalid type: map, expected variant identifier"},
        FailureCase{"key_ext", frame(3, hex("81 d5 01 00 00 90")),
                    "invalid type: newtype struct, expected variant identifier"},
        FailureCase{"key_reserved", frame(3, hex("81 c1 90")), kReserved}),
    case_name);

// The payload record of each widget kind, reached through the union.
INSTANTIATE_TEST_SUITE_P(
    Payload, FailureTest,
    ::testing::Values(
        FailureCase{"click_nonempty_array", frame(1, variant("ClickButton", hex("91 01"))),
                    "array had incorrect length, expected 0"},
        FailureCase{
            "click_nil", frame(1, variant("ClickButton", hex("c0"))),
            "invalid type: unit value, expected struct variant WidgetRegistry::ClickButton"},
        FailureCase{"click_map_signed_key", frame(1, variant("ClickButton", hex("81 ff 00"))),
                    "invalid type: integer `-1`, expected field identifier"},
        FailureCase{"confirm_true", frame(1, variant("ConfirmButton", hex("c3"))),
                    "invalid type: boolean `true`, expected struct variant "
                    "WidgetRegistry::ConfirmButton"},
        FailureCase{"toggle_integer", frame(1, variant("ToggleButton", hex("91 01"))),
                    "invalid type: integer `1`, expected a boolean"},
        FailureCase{"toggle_empty", frame(1, variant("ToggleButton", hex("90"))),
                    "invalid length 0, expected struct variant WidgetRegistry::ToggleButton with "
                    "1 element"},
        FailureCase{"toggle_two", frame(1, variant("ToggleButton", hex("92 c3 c3"))),
                    "array had incorrect length, expected 1"},
        FailureCase{"toggle_duplicate",
                    frame(1, variant("ToggleButton",
                                     Bytes{0x82} + str("value") + hex("c3") + str("value"))),
                    "duplicate field `value`"},
        FailureCase{"toggle_missing",
                    frame(1, variant("ToggleButton", Bytes{0x81} + str("Value") + hex("c3"))),
                    "missing field `value`"},
        FailureCase{"toggle_bin", frame(1, variant("ToggleButton", hex("c4 01 01"))),
                    "invalid type: integer `1`, expected a boolean"},
        FailureCase{"toggle_bin_empty", frame(1, variant("ToggleButton", hex("c4 00"))),
                    "invalid length 0, expected struct variant WidgetRegistry::ToggleButton with "
                    "1 element"},
        FailureCase{"press_empty", frame(1, variant("PressButton", hex("90"))),
                    "invalid length 0, expected struct variant WidgetRegistry::PressButton with "
                    "1 element"},
        FailureCase{"press_string", frame(1, variant("PressButton", str("x"))),
                    "invalid type: string \"x\", expected struct variant "
                    "WidgetRegistry::PressButton"},
        FailureCase{"directional_empty", frame(1, variant("DirectionalButton", hex("90"))),
                    "invalid length 0, expected struct variant WidgetRegistry::DirectionalButton "
                    "with 1 element"},
        FailureCase{"joystick_short_coord",
                    frame(1, variant("Joystick", Bytes{0x92, 0x91} + f64(1.0) + f64(0.5))),
                    "invalid length 1, expected struct Coord with 2 elements"},
        FailureCase{"joystick_no_intensity",
                    frame(1, variant("Joystick", Bytes{0x91, 0x92} + f64(1.0) + f64(2.0))),
                    "invalid length 1, expected struct variant WidgetRegistry::Joystick with 2 "
                    "elements"},
        FailureCase{"joystick_three", frame(1, variant("Joystick", hex("93 92 01 02 03 04"))),
                    "array had incorrect length, expected 2"},
        FailureCase{"coord_three", frame(1, variant("Joystick", hex("92 93 01 02 03 04"))),
                    "array had incorrect length, expected 2"},
        FailureCase{"coord_short_bin", frame(1, variant("Joystick", hex("92 c4 01 01 03"))),
                    "invalid length 1, expected struct Coord with 2 elements"},
        FailureCase{"coord_nil", frame(1, variant("Joystick", hex("92 c0 03"))),
                    "invalid type: unit value, expected struct Coord"},
        FailureCase{"coord_missing_y",
                    frame(1, variant("Joystick", Bytes{0x92, 0x81} + str("x") + hex("01 03"))),
                    "missing field `y`"},
        FailureCase{
            "coord_duplicate_x",
            frame(1, variant("Joystick", Bytes{0x92, 0x82} + str("x") + hex("01") + str("x"))),
            "duplicate field `x`"},
        FailureCase{"joystick_bin_payload", frame(1, variant("Joystick", hex("c4 02 01 02"))),
                    "invalid type: integer `1`, expected struct Coord"},
        FailureCase{"joystick_bin_payload_empty", frame(1, variant("Joystick", hex("c4 00"))),
                    "invalid length 0, expected struct variant WidgetRegistry::Joystick with 2 "
                    "elements"}),
    case_name);

// Numbers and booleans: widths, signs, ranges and the types they refuse.
INSTANTIATE_TEST_SUITE_P(
    Scalars, FailureTest,
    ::testing::Values(
        FailureCase{"u8_uint16_256", frame(hex("cd 01 00"), kToggle),
                    "invalid value: integer `256`, expected u8"},
        FailureCase{"u8_negative_fixint", frame(hex("ff"), kToggle),
                    "invalid value: integer `-1`, expected u8"},
        FailureCase{"u8_int16_negative", frame(hex("d1 ff 00"), kToggle),
                    "invalid value: integer `-256`, expected u8"},
        FailureCase{"u8_int16_256", frame(hex("d1 01 00"), kToggle),
                    "invalid value: integer `256`, expected u8"},
        FailureCase{"u8_uint64_max", frame(hex("cf ff ff ff ff ff ff ff ff"), kToggle),
                    "invalid value: integer `18446744073709551615`, expected u8"},
        FailureCase{"u8_float64_integral", frame(f64(1.0), kToggle),
                    "invalid type: floating point `1.0`, expected u8"},
        FailureCase{"u8_float32", frame(f32(2.0f), kToggle),
                    "invalid type: floating point `2.0`, expected u8"},
        FailureCase{"u8_nil", frame(hex("c0"), kToggle), "invalid type: unit value, expected u8"},
        FailureCase{"u8_bool", frame(hex("c3"), kToggle),
                    "invalid type: boolean `true`, expected u8"},
        FailureCase{"u8_string", frame(str("3"), kToggle),
                    "MessagePack type mismatch: found string (marker 0xa1) where u8 was expected"},
        FailureCase{"u8_bin", frame(hex("c4 01 03"), kToggle),
                    "MessagePack type mismatch: found bin (marker 0xc4) where u8 was expected"},
        FailureCase{"u8_array", frame(hex("91 03"), kToggle),
                    "MessagePack type mismatch: found array (marker 0x91) where u8 was expected"},
        FailureCase{"u8_ext", frame(hex("d4 00 00"), kToggle),
                    "MessagePack type mismatch: found extension (marker 0xd4) where u8 was "
                    "expected"},
        FailureCase{"u8_reserved", frame(hex("c1"), kToggle), kReserved},
        FailureCase{"direction_300", frame(1, variant("DirectionalButton", hex("91 cd 01 2c"))),
                    "invalid value: integer `300`, expected u8"},
        FailureCase{"direction_int64_min",
                    frame(1, variant("DirectionalButton", hex("91 d3 80 00 00 00 00 00 00 00"))),
                    "invalid value: integer `-9223372036854775808`, expected u8"},
        FailureCase{"f32_nil", frame(1, variant("Joystick", hex("92 92 01 02 c0"))),
                    "invalid type: unit value, expected f32"},
        FailureCase{"f32_bool", frame(1, variant("Joystick", hex("92 92 c2 02 01"))),
                    "invalid type: boolean `false`, expected f32"},
        FailureCase{"f32_string", frame(1, variant("Joystick", hex("92 92 01 a1 32 01"))),
                    "MessagePack type mismatch: found string (marker 0xa1) where f32 was expected"},
        FailureCase{"f32_map", frame(1, variant("Joystick", hex("92 92 01 02 80"))),
                    "MessagePack type mismatch: found map (marker 0x80) where f32 was expected"},
        FailureCase{"f32_reserved", frame(1, variant("Joystick", hex("92 92 01 c1 01"))),
                    kReserved},
        FailureCase{"bool_nil", frame(1, variant("PressButton", hex("91 c0"))),
                    "invalid type: unit value, expected a boolean"},
        FailureCase{"bool_int8", frame(1, variant("PressButton", hex("91 d0 ff"))),
                    "invalid type: integer `-1`, expected a boolean"},
        FailureCase{"bool_float", frame(1, variant("PressButton", Bytes{0x91} + f64(1.0))),
                    "invalid type: floating point `1.0`, expected a boolean"},
        FailureCase{"bool_string", frame(1, variant("PressButton", Bytes{0x91} + str("true"))),
                    "MessagePack type mismatch: found string (marker 0xa4) where a boolean was "
                    "expected"},
        FailureCase{"bool_reserved", frame(1, variant("PressButton", hex("91 c1"))), kReserved}),
    case_name);

// How U shows a float: shortest round-trip digits, positional, ".0" when integral.
INSTANTIATE_TEST_SUITE_P(
    FloatText, FailureTest,
    ::testing::Values(
        FailureCase{"half", frame(f64(0.5), kToggle),
                    "invalid type: floating point `0.5`, expected u8"},
        FailureCase{"negative_zero", frame(f64(-0.0), kToggle),
                    "invalid type: floating point `-0.0`, expected u8"},
        FailureCase{"tenth", frame(f64(0.1), kToggle),
                    "invalid type: floating point `0.1`, expected u8"},
        FailureCase{"float32_tenth_widened", frame(f32(0.1f), kToggle),
                    "invalid type: floating point `0.10000000149011612`, expected u8"},
        FailureCase{"fraction", frame(f64(-123.456), kToggle),
                    "invalid type: floating point `-123.456`, expected u8"},
        FailureCase{"large", frame(f64(1e39), kToggle),
                    "invalid type: floating point `1" + std::string(39, '0') + ".0`, expected u8"},
        FailureCase{"max", frame(f64(std::numeric_limits<double>::max()), kToggle),
                    "invalid type: floating point `17976931348623157" + std::string(292, '0') +
                        ".0`, expected u8"},
        FailureCase{"small", frame(f64(1e-7), kToggle),
                    "invalid type: floating point `0.0000001`, expected u8"},
        FailureCase{"smallest_subnormal",
                    frame(f64(std::numeric_limits<double>::denorm_min()), kToggle),
                    "invalid type: floating point `0." + std::string(323, '0') + "5`, expected u8"},
        FailureCase{"nan", frame(f64(std::numeric_limits<double>::quiet_NaN()), kToggle),
                    "invalid type: floating point `NaN`, expected u8"},
        FailureCase{"infinity", frame(f64(std::numeric_limits<double>::infinity()), kToggle),
                    "invalid type: floating point `inf`, expected u8"},
        FailureCase{"negative_infinity",
                    frame(f32(-std::numeric_limits<float>::infinity()), kToggle),
                    "invalid type: floating point `-inf`, expected u8"}),
    case_name);

std::string mismatch(std::string_view found, std::string_view expected) {
    return "MessagePack type mismatch: found " + std::string(found) + " where " +
           std::string(expected) + " was expected";
}

// A case whose input is the shortest that settles the verdict, with the rest of the value.
FailureCase decided(std::string name, Bytes bytes, Bytes rest, std::string text) {
    return {std::move(name), std::move(bytes), std::move(text), true, std::move(rest)};
}

// Inputs that are certainly invalid once a few bytes are in, whatever follows.
INSTANTIATE_TEST_SUITE_P(
    CertainlyInvalid, FailureTest,
    ::testing::ValuesIn(std::vector<FailureCase>{
        // Bin records: the header and the one byte that no field can take decide, whatever
        // length the header declares.
        decided("frame_bin16_byte_for_union", hex("c5 ff ff 03 05"), Bytes(65533, 0),
                "invalid type: integer `5`, expected enum WidgetRegistry"),
        decided("frame_bin8_byte_for_union", hex("c4 05 00 01"), hex("02 03 04"),
                "invalid type: integer `1`, expected enum WidgetRegistry"),
        decided("frame_bin_shorter_than_record", hex("c4 01"), hex("07"),
                "invalid length 1, expected struct Frame with 2 elements"),
        decided("frame_bin32_empty", hex("c6 00 00 00 00"), {},
                "invalid length 0, expected struct Frame with 2 elements"),
        decided("toggle_bin32_byte_for_boolean", hex("92 03 81 01 c6 7f ff ff ff 01"),
                Bytes(1000, 0xc3),
                "invalid type: integer `1`, expected a boolean"),
        decided("press_bin_byte_for_boolean", hex("92 03 81 03 c4 09 c3"), Bytes(8, 0),
                "invalid type: integer `195`, expected a boolean"),
        decided("joystick_bin_byte_for_coord", hex("92 03 81 05 c4 05 01"), hex("02 03 04 05"),
                "invalid type: integer `1`, expected struct Coord"),
        decided("coord_bin_shorter_than_record", hex("92 03 81 05 92 c4 01"), hex("02 03"),
                "invalid length 1, expected struct Coord with 2 elements"),
        decided("directional_bin_empty", hex("92 03 81 04 c5 00 00"), hex("01"),
                "invalid length 0, expected struct variant WidgetRegistry::DirectionalButton "
                "with 1 element"),

        // Containers and extension values described where they do not belong: the marker alone
        // decides, their length fields are not waited for.
        decided("array16_as_variant_key", hex("92 03 dc"), hex("00 01 c0"),
                "invalid type: sequence, expected variant identifier"),
        decided("array32_as_variant_key", hex("92 03 81 dd"), hex("00 00 00 00 90"),
                "invalid type: sequence, expected variant identifier"),
        decided("map32_as_variant_key", hex("92 03 81 df"), hex("00 00 00 00 90"),
                "invalid type: map, expected variant identifier"),
        decided("ext32_as_variant_key", hex("92 03 81 c9"), hex("00 00 00 01 05 00 90"),
                "invalid type: newtype struct, expected variant identifier"),
        decided("fixext16_as_frame", hex("d8"), hex("05") + Bytes(16, 0),
                "invalid type: newtype struct, expected struct Frame"),
        decided("ext8_as_frame", hex("c7"), hex("02 05 00 00"),
                "invalid type: newtype struct, expected struct Frame"),
        decided("array32_as_field_key", hex("92 03 81 00 81 dd"), hex("00 00 00 00 c0"),
                "invalid type: sequence, expected field identifier"),
        decided("map16_as_field_key", hex("92 03 81 01 81 de"), hex("00 00 c3"),
                "invalid type: map, expected field identifier"),
        decided("ext16_as_frame_field_key", hex("81 c8"), hex("00 01 05 00 03"),
                "invalid type: newtype struct, expected field identifier"),

        // Number fields and unions already decided by their first byte.
        decided("array16_as_id", hex("92 dc"), hex("00 00"),
                mismatch("array (marker 0xdc)", "u8")),
        decided("ext8_as_id", hex("92 c7"), hex("01 00 00"),
                mismatch("extension (marker 0xc7)", "u8")),
        decided("bin16_as_intensity", hex("92 03 81 05 92 92 00 00 c5"), hex("00 01 00"),
                mismatch("bin (marker 0xc5)", "f32")),
        decided("map16_as_coord_x", hex("92 03 81 05 92 92 de"), hex("00 00 00 00"),
                mismatch("map (marker 0xde)", "f32")),
        decided("str8_as_boolean", hex("92 03 81 01 91 d9"), hex("01 61"),
                mismatch("string (marker 0xd9)", "a boolean")),
        decided("union_map16_of_two_entries", hex("92 03 de 00 02"), hex("00 90 02 90"),
                "array had incorrect length, expected 2"),
    }),
    case_name);

Bytes nested_arrays(std::size_t count) {
    Bytes out(count - 1, 0x91);
    out.push_back(0x90);
    return out;
}

// A map frame whose unknown key "x" holds `skipped`; the frame map itself is one container.
Bytes frame_with_skipped(const Bytes& skipped) {
    return Bytes{0x83} + str("x") + skipped + str("id") + hex("03") + str("data") + kToggle;
}

// The codec's own errors: reserved byte and nesting depth, also inside skipped values.
INSTANTIATE_TEST_SUITE_P(
    Codec, FailureTest,
    ::testing::Values(
        FailureCase{"reserved_in_skipped_value", frame_with_skipped(hex("92 00 c1")), kReserved},
        FailureCase{"reserved_as_skipped_value", frame_with_skipped(hex("c1")), kReserved},
        FailureCase{
            "string_record_invalid_utf8", hex("a3 61 ed a0"),
            "invalid UTF-8 in a MessagePack string: invalid byte sequence at byte 1 of the string"},
        FailureCase{"too_deep_in_skipped_arrays", frame_with_skipped(nested_arrays(1023)),
                    kTooDeep},
        FailureCase{"too_deep_in_skipped_maps", frame_with_skipped([] {
                        Bytes out;
                        for (int i = 0; i < 1022; ++i) out = out + hex("81 00");
                        return out + hex("80");
                    }()),
                    kTooDeep},
        FailureCase{"too_deep_ext_in_skipped",
                    frame_with_skipped(Bytes(1022, 0x91) + hex("d4 00 00")), kTooDeep},
        FailureCase{"too_deep_map_in_skipped",
                    frame_with_skipped(Bytes(1021, 0x91) + hex("81 91 00 00")), kTooDeep},
        FailureCase{"too_deep_hostile", frame_with_skipped(Bytes(20000, 0x91)), kTooDeep}),
    case_name);

TEST(Nesting, AtMost1023ContainersIncludingTheFrame) {
    // The frame map plus 1022 nested arrays in a skipped value: exactly the limit.
    const auto arrays = Frame::parse(frame_with_skipped(nested_arrays(1022)));
    ASSERT_TRUE(arrays.ok()) << arrays.error().text;
    EXPECT_EQ(std::get<ToggleButton>(arrays->frame.data).value, true);
    // An extension value counts as a container too.
    const auto ext = Frame::parse(frame_with_skipped(Bytes(1021, 0x91) + hex("d4 00 00")));
    ASSERT_TRUE(ext.ok()) << ext.error().text;
    // Depth is given back on leaving: many siblings at depth 1022 are fine.
    Bytes siblings = Bytes(1019, 0x91) + hex("dc 01 00");
    for (int i = 0; i < 256; ++i) siblings = siblings + hex("91 90");
    EXPECT_TRUE(Frame::parse(frame_with_skipped(siblings)).ok());
}

TEST(Nesting, HugeDeclaredCountsEndAsIncompleteWithoutAllocating) {
    // Four billion elements declared, a handful present: the reader runs out of input.
    const auto parsed = Frame::parse(frame_with_skipped(hex("dd ff ff ff ff 00 00 00")));
    ASSERT_FALSE(parsed.ok());
    EXPECT_TRUE(parsed.error().incomplete());
    const auto map = Frame::parse(frame_with_skipped(hex("df ff ff ff ff 00 00")));
    ASSERT_FALSE(map.ok());
    EXPECT_TRUE(map.error().incomplete());
}

}  // namespace
}  // namespace velto::wire::testing
