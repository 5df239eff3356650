// Frame::parse fails as soon as the input is certainly invalid, instead of reporting it as
// incomplete and making a stream reader wait for bytes that cannot change the verdict.
#include <gtest/gtest.h>

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "wire_test_support.hpp"

namespace velto::wire::testing {
namespace {

struct EarlyFailure {
    std::string name;
    Bytes decided;  // the shortest input that settles the verdict
    Bytes rest;     // bytes that complete the value as its headers declare it
    std::string text;
};

void PrintTo(const EarlyFailure& c, std::ostream* out) {
    *out << c.name;
}

std::string mismatch(std::string_view found, std::string_view expected) {
    return "MessagePack type mismatch: found " + std::string(found) + " where " +
           std::string(expected) + " was expected";
}

class EarlyFailureTest : public ::testing::TestWithParam<EarlyFailure> {};

TEST_P(EarlyFailureTest, InvalidOnceDecidedWhateverFollows) {
    const EarlyFailure& c = GetParam();
    ASSERT_FALSE(c.decided.empty());

    // One byte fewer is still open: the table's cases are as short as they can be.
    const Bytes shorter(c.decided.begin(), c.decided.end() - 1);
    const auto open = Frame::parse(shorter);
    ASSERT_FALSE(open.ok());
    EXPECT_TRUE(open.error().incomplete()) << open.error().text;

    // An exact-size copy, so that a read beyond the deciding bytes would be caught by sanitizers.
    const Bytes decided = c.decided;
    const auto early = Frame::parse(decided);
    ASSERT_FALSE(early.ok()) << "decoded " << describe(early->frame);
    EXPECT_EQ(early.error().kind, DecodeError::Kind::Invalid);
    EXPECT_EQ(early.error().text, c.text);

    // Every completion up to the value's declared end, and bytes beyond it, keep the verdict.
    const Bytes full = c.decided + c.rest + hex("c1 92 00");
    for (std::size_t k = c.decided.size(); k <= full.size(); ++k) {
        const auto later = Frame::parse(std::span(full.data(), k));
        ASSERT_FALSE(later.ok()) << k << " bytes decoded";
        ASSERT_EQ(later.error().kind, DecodeError::Kind::Invalid) << k << " bytes";
        ASSERT_EQ(later.error().text, c.text) << k << " bytes";
    }
}

INSTANTIATE_TEST_SUITE_P(
    CertainlyInvalid, EarlyFailureTest,
    ::testing::ValuesIn(std::vector<EarlyFailure>{
        // Bin records: the header and the one byte that no field can take decide, whatever
        // length the header declares.
        {"frame_bin16_byte_for_union", hex("c5 ff ff 03 05"), Bytes(65533, 0),
         "invalid type: integer `5`, expected enum WidgetRegistry"},
        {"frame_bin8_byte_for_union", hex("c4 05 00 01"), hex("02 03 04"),
         "invalid type: integer `1`, expected enum WidgetRegistry"},
        {"frame_bin_shorter_than_record", hex("c4 01"), hex("07"),
         "invalid length 1, expected struct Frame with 2 elements"},
        {"frame_bin32_empty",
         hex("c6 00 00 00 00"),
         {},
         "invalid length 0, expected struct Frame with 2 elements"},
        {"toggle_bin32_byte_for_boolean", hex("92 03 81 01 c6 7f ff ff ff 01"), Bytes(1000, 0xc3),
         "invalid type: integer `1`, expected a boolean"},
        {"press_bin_byte_for_boolean", hex("92 03 81 03 c4 09 c3"), Bytes(8, 0),
         "invalid type: integer `195`, expected a boolean"},
        {"joystick_bin_byte_for_coord", hex("92 03 81 05 c4 05 01"), hex("02 03 04 05"),
         "invalid type: integer `1`, expected struct Coord"},
        {"coord_bin_shorter_than_record", hex("92 03 81 05 92 c4 01"), hex("02 03"),
         "invalid length 1, expected struct Coord with 2 elements"},
        {"directional_bin_empty", hex("92 03 81 04 c5 00 00"), hex("01"),
         "invalid length 0, expected struct variant WidgetRegistry::DirectionalButton with 1 "
         "element"},

        // Containers and extension values described where they do not belong: the marker alone
        // decides, their length fields are not waited for.
        {"array16_as_variant_key", hex("92 03 dc"), hex("00 01 c0"),
         "invalid type: sequence, expected variant identifier"},
        {"array32_as_variant_key", hex("92 03 81 dd"), hex("00 00 00 00 90"),
         "invalid type: sequence, expected variant identifier"},
        {"map32_as_variant_key", hex("92 03 81 df"), hex("00 00 00 00 90"),
         "invalid type: map, expected variant identifier"},
        {"ext32_as_variant_key", hex("92 03 81 c9"), hex("00 00 00 01 05 00 90"),
         "invalid type: newtype struct, expected variant identifier"},
        {"fixext16_as_frame", hex("d8"), hex("05") + Bytes(16, 0),
         "invalid type: newtype struct, expected struct Frame"},
        {"ext8_as_frame", hex("c7"), hex("02 05 00 00"),
         "invalid type: newtype struct, expected struct Frame"},
        {"array32_as_field_key", hex("92 03 81 00 81 dd"), hex("00 00 00 00 c0"),
         "invalid type: sequence, expected field identifier"},
        {"map16_as_field_key", hex("92 03 81 01 81 de"), hex("00 00 c3"),
         "invalid type: map, expected field identifier"},
        {"ext16_as_frame_field_key", hex("81 c8"), hex("00 01 05 00 03"),
         "invalid type: newtype struct, expected field identifier"},

        // Number fields and unions already decided by their first byte.
        {"array16_as_id", hex("92 dc"), hex("00 00"), mismatch("array (marker 0xdc)", "u8")},
        {"ext8_as_id", hex("92 c7"), hex("01 00 00"), mismatch("extension (marker 0xc7)", "u8")},
        {"bin16_as_intensity", hex("92 03 81 05 92 92 00 00 c5"), hex("00 01 00"),
         mismatch("bin (marker 0xc5)", "f32")},
        {"map16_as_coord_x", hex("92 03 81 05 92 92 de"), hex("00 00 00 00"),
         mismatch("map (marker 0xde)", "f32")},
        {"str8_as_boolean", hex("92 03 81 01 91 d9"), hex("01 61"),
         mismatch("string (marker 0xd9)", "a boolean")},
        {"union_map16_of_two_entries", hex("92 03 de 00 02"), hex("00 90 02 90"),
         "array had incorrect length, expected 2"},
    }),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace velto::wire::testing
