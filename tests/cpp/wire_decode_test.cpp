// Frame::parse on valid input: every accepted form decodes to the right frame using exactly its
// bytes, every proper prefix is incomplete, and what follows a frame is left for the next one.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

#include "wire_test_support.hpp"

namespace velto::wire::testing {
namespace {

class ValidFrameTest : public ::testing::TestWithParam<ValidFrame> {};

TEST_P(ValidFrameTest, DecodesToExpectedFrameUsingAllItsBytes) {
    const ValidFrame& c = GetParam();
    const auto parsed = Frame::parse(c.bytes);
    ASSERT_TRUE(parsed.ok()) << parsed.error().text;
    EXPECT_EQ(describe(parsed->frame), describe(c.expected));
    EXPECT_EQ(parsed->consumed, c.bytes.size());
}

TEST_P(ValidFrameTest, EveryProperPrefixIsIncomplete) {
    const Bytes& bytes = GetParam().bytes;
    for (std::size_t k = 0; k < bytes.size(); ++k) {
        // A copy of exactly k bytes, so that reading past them would be caught by sanitizers.
        const Bytes prefix(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(k));
        const auto parsed = Frame::parse(prefix);
        ASSERT_FALSE(parsed.ok()) << "prefix of " << k << " bytes decoded";
        EXPECT_TRUE(parsed.error().incomplete())
            << "prefix of " << k << " bytes: " << parsed.error().text;
    }
}

TEST_P(ValidFrameTest, BytesAfterTheFrameAreLeftForTheNextOne) {
    const ValidFrame& c = GetParam();
    const Bytes click = hex("92 01 81 00 90");
    for (const Bytes& tail : {hex("c1"), hex("00"), click, Bytes(64, 0xff)}) {
        const Bytes buffer = c.bytes + tail;
        const auto parsed = Frame::parse(buffer);
        ASSERT_TRUE(parsed.ok()) << parsed.error().text;
        EXPECT_EQ(describe(parsed->frame), describe(c.expected));
        ASSERT_EQ(parsed->consumed, c.bytes.size());
        if (tail == click) {
            const auto next = Frame::parse(std::span(buffer).subspan(parsed->consumed));
            ASSERT_TRUE(next.ok()) << next.error().text;
            EXPECT_EQ(describe(next->frame), "ClickButton_1()");
            EXPECT_EQ(next->consumed, click.size());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllForms, ValidFrameTest, ::testing::ValuesIn(valid_frames()),
                         [](const auto& info) { return info.param.name; });

TEST(Incomplete, TruncatedHeadersAndBodies) {
    // An input ending right after the id, and truncations inside kinds of
    // length fields the valid frames do not use.
    for (const Bytes& bytes :
         {hex("92 03"), hex("92 cd 00"), hex("92 03 81 c5 00"),
          hex("82 a2 69 64 03 a1 78 c9 00 00 00 01"), hex("82 a2 69 64 03 a1 78 db 00 00 01"),
          hex("92 01 81 a8 4a 6f 79 73 74 69 63 6b 92 92 cb 3f 00")}) {
        const auto parsed = Frame::parse(bytes);
        ASSERT_FALSE(parsed.ok());
        EXPECT_TRUE(parsed.error().incomplete()) << parsed.error().text;
    }
}

float parse_intensity(const Bytes& intensity) {
    const auto parsed = Frame::parse(frame(1, variant("Joystick", hex("92 92 00 00") + intensity)));
    EXPECT_TRUE(parsed.ok()) << parsed.error().text;
    return parsed.ok() ? std::get<Joystick>(parsed->frame.data).intensity : 0.0f;
}

std::uint32_t bits(float value) {
    return std::bit_cast<std::uint32_t>(value);
}

TEST(FloatField, Float64AndIntegersAreRoundedToNearestFloat32) {
    EXPECT_EQ(bits(parse_intensity(f64(0.1))), bits(0.1f));
    // Halfway between 1 and the next float 32 rounds to even; just above rounds up.
    EXPECT_EQ(bits(parse_intensity(f64(1.0 + 0x1p-24))), bits(1.0f));
    EXPECT_EQ(bits(parse_intensity(f64(1.0 + 0x1p-24 + 0x1p-40))), bits(1.0f + 0x1p-23f));
    EXPECT_EQ(bits(parse_intensity(f64(-1e300))), bits(-std::numeric_limits<float>::infinity()));
    EXPECT_EQ(bits(parse_intensity(f64(-0.0))), bits(-0.0f));
    // 2^24 + 1 has no float 32; the nearest (ties to even) is 2^24.
    EXPECT_EQ(parse_intensity(hex("ce 01 00 00 01")), 16777216.0f);
    EXPECT_EQ(parse_intensity(hex("d1 80 00")), -32768.0f);
}

TEST(FloatField, NaNKeepsItsSignAndAFloat32ItsPayload) {
    const float negative = parse_intensity(f64(-std::numeric_limits<double>::quiet_NaN()));
    EXPECT_TRUE(std::isnan(negative));
    EXPECT_TRUE(std::signbit(negative));
    const float positive = parse_intensity(f64(std::numeric_limits<double>::quiet_NaN()));
    EXPECT_TRUE(std::isnan(positive));
    EXPECT_FALSE(std::signbit(positive));
    const float signalling = std::bit_cast<float>(std::uint32_t{0xff800001});
    EXPECT_EQ(bits(parse_intensity(f32(signalling))), bits(signalling));
}

}  // namespace
}  // namespace velto::wire::testing
