// Frame::parse on valid input: every accepted form decodes to the right frame.
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
    EXPECT_TRUE(same_frame(parsed->frame, c.expected));
    EXPECT_EQ(parsed->consumed, c.bytes.size());
}

INSTANTIATE_TEST_SUITE_P(AllForms, ValidFrameTest, ::testing::ValuesIn(valid_frames()),
                         [](const auto& info) { return info.param.name; });

Joystick parse_joystick(const Bytes& intensity) {
    const auto parsed = Frame::parse(frame(1, variant("Joystick", hex("92 92 00 00") + intensity)));
    EXPECT_TRUE(parsed.ok()) << parsed.error().text;
    return parsed.ok() ? std::get<Joystick>(parsed->frame.data) : Joystick{};
}

TEST(FloatField, Float64IsRoundedToNearestFloat32) {
    EXPECT_TRUE(same_float(parse_joystick(f64(0.1)).intensity, 0.1f));
    // Halfway between 1 and the next float 32 rounds to even; just above rounds up.
    EXPECT_TRUE(same_float(parse_joystick(f64(1.0 + 0x1p-24)).intensity, 1.0f));
    EXPECT_TRUE(
        same_float(parse_joystick(f64(1.0 + 0x1p-24 + 0x1p-40)).intensity, 1.0f + 0x1p-23f));
    EXPECT_TRUE(
        same_float(parse_joystick(f64(-1e300)).intensity, -std::numeric_limits<float>::infinity()));
    EXPECT_TRUE(same_float(parse_joystick(f64(-0.0)).intensity, -0.0f));
}

TEST(FloatField, NaNKeepsItsSign) {
    const double negative_nan = -std::numeric_limits<double>::quiet_NaN();
    ASSERT_TRUE(std::signbit(negative_nan));
    const float from_f64 = parse_joystick(f64(negative_nan)).intensity;
    EXPECT_TRUE(std::isnan(from_f64));
    EXPECT_TRUE(std::signbit(from_f64));
    const float positive = parse_joystick(f64(std::numeric_limits<double>::quiet_NaN())).intensity;
    EXPECT_TRUE(std::isnan(positive));
    EXPECT_FALSE(std::signbit(positive));
    // A float 32 arrives bit for bit, payload included.
    const float signalling = std::bit_cast<float>(std::uint32_t{0xff800001});
    EXPECT_TRUE(same_float(parse_joystick(f32(signalling)).intensity, signalling));
}

TEST(FloatField, IntegersConvertToNearestFloat32) {
    EXPECT_EQ(parse_joystick(hex("cd 01 00")).intensity, 256.0f);
    EXPECT_EQ(parse_joystick(hex("e0")).intensity, -32.0f);
    // 2^24 + 1 has no float 32; the nearest (ties to even) is 2^24.
    EXPECT_EQ(parse_joystick(hex("ce 01 00 00 01")).intensity, 16777216.0f);
    EXPECT_EQ(parse_joystick(hex("d1 80 00")).intensity, -32768.0f);
}

TEST(Identity, IsKindNameUnderscoreDecimalId) {
    EXPECT_EQ(make(3, ClickButton{}).identity(), "ClickButton_3");
    EXPECT_EQ(make(0, ToggleButton{}).identity(), "ToggleButton_0");
    EXPECT_EQ(make(255, ConfirmButton{}).identity(), "ConfirmButton_255");
    EXPECT_EQ(make(17, PressButton{}).identity(), "PressButton_17");
    EXPECT_EQ(make(42, DirectionalButton{}).identity(), "DirectionalButton_42");
    EXPECT_EQ(make(7, Joystick{}).identity(), "Joystick_7");
}

TEST(Identity, OfDecodedWorkedExample) {
    const auto parsed =
        Frame::parse(hex("92 07 81 a8 4a 6f 79 73 74 69 63 6b 92 92 ca 3f 00 00 00 "
                         "ca bf 80 00 00 ca 3f 40 00 00"));
    ASSERT_TRUE(parsed.ok());
    EXPECT_EQ(parsed->frame.identity(), "Joystick_7");
}

}  // namespace
}  // namespace velto::wire::testing
