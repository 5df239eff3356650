// Frame::parse as a stream reader uses it: consumed counts, frames back to back, and proper
// prefixes of valid frames reported as incomplete.
#include <gtest/gtest.h>

#include <algorithm>

#include "wire_test_support.hpp"

namespace velto::wire::testing {
namespace {

class ValidFramePrefixTest : public ::testing::TestWithParam<ValidFrame> {};

TEST_P(ValidFramePrefixTest, EveryProperPrefixIsIncomplete) {
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

TEST_P(ValidFramePrefixTest, TrailingBytesAreIgnored) {
    const ValidFrame& c = GetParam();
    for (const Bytes& tail : {hex("c1"), hex("00"), hex("92 01 81 00 90"), Bytes(64, 0xff)}) {
        const auto parsed = Frame::parse(c.bytes + tail);
        ASSERT_TRUE(parsed.ok()) << parsed.error().text;
        EXPECT_TRUE(same_frame(parsed->frame, c.expected));
        EXPECT_EQ(parsed->consumed, c.bytes.size());
    }
}

INSTANTIATE_TEST_SUITE_P(AllForms, ValidFramePrefixTest, ::testing::ValuesIn(valid_frames()),
                         [](const auto& info) { return info.param.name; });

TEST(Stream, TwoFramesBackToBackInOneBuffer) {
    const Bytes first = hex("92 03 81 ac 54 6f 67 67 6c 65 42 75 74 74 6f 6e 91 c3");
    const Bytes second = hex("92 01 81 00 90");
    const Bytes buffer = first + second;

    const auto one = Frame::parse(buffer);
    ASSERT_TRUE(one.ok()) << one.error().text;
    EXPECT_TRUE(same_frame(one->frame, make(3, ToggleButton{true})));
    ASSERT_EQ(one->consumed, first.size());

    const auto two = Frame::parse(std::span(buffer).subspan(one->consumed));
    ASSERT_TRUE(two.ok()) << two.error().text;
    EXPECT_TRUE(same_frame(two->frame, make(1, ClickButton{})));
    EXPECT_EQ(two->consumed, second.size());
}

// Feeds every valid frame, concatenated, in chunks of each size from 1 to 7 bytes, the way a
// stream reader keeps an incomplete tail: the frames come out whole, in order, and nothing is
// left over.
TEST(Stream, ChunkedDeliveryYieldsEveryFrameInOrder) {
    const std::vector<ValidFrame> frames = valid_frames();
    Bytes stream;
    for (const ValidFrame& f : frames) stream = stream + f.bytes;

    for (std::size_t chunk = 1; chunk <= 7; ++chunk) {
        Bytes pending;
        std::size_t decoded = 0;
        for (std::size_t at = 0; at < stream.size(); at += chunk) {
            const auto end =
                stream.begin() + static_cast<std::ptrdiff_t>(std::min(stream.size(), at + chunk));
            pending.insert(pending.end(), stream.begin() + static_cast<std::ptrdiff_t>(at), end);
            for (;;) {
                const auto parsed = Frame::parse(pending);
                if (!parsed.ok()) {
                    ASSERT_TRUE(parsed.error().incomplete()) << parsed.error().text;
                    break;
                }
                ASSERT_LT(decoded, frames.size());
                EXPECT_TRUE(same_frame(parsed->frame, frames[decoded].expected))
                    << frames[decoded].name << ", chunk " << chunk;
                EXPECT_EQ(parsed->consumed, frames[decoded].bytes.size());
                ++decoded;
                pending.erase(pending.begin(),
                              pending.begin() + static_cast<std::ptrdiff_t>(parsed->consumed));
            }
        }
        EXPECT_EQ(decoded, frames.size()) << "chunk " << chunk;
        EXPECT_TRUE(pending.empty()) << "chunk " << chunk;
    }
}

TEST(Stream, EmptyInputIsIncomplete) {
    const auto parsed = Frame::parse(std::span<const std::uint8_t>{});
    ASSERT_FALSE(parsed.ok());
    EXPECT_TRUE(parsed.error().incomplete());
    EXPECT_FALSE(parsed.error().text.empty());
}

TEST(Stream, TruncatedHeadersAndBodiesAreIncomplete) {
    // The worked example of an input ending after the id, and truncations inside every kind of
    // length field and body.
    for (const Bytes& bytes :
         {hex("92 03"), hex("dc 00"), hex("92 cd 00"), hex("92 03 81 ac 54"), hex("92 03 81 d9"),
          hex("92 03 81 c4"), hex("92 03 81 c5 00"), hex("82 a2 69 64 03 a1 78 c9 00 00 00 01"),
          hex("82 a2 69 64 03 a1 78 d8 00 00"),
          hex("92 01 81 a8 4a 6f 79 73 74 69 63 6b 92 92 ca 3f 00"),
          hex("92 01 81 a8 4a 6f 79 73 74 69 63 6b 92 92 cb 3f 00")}) {
        const auto parsed = Frame::parse(bytes);
        ASSERT_FALSE(parsed.ok());
        EXPECT_TRUE(parsed.error().incomplete()) << parsed.error().text;
    }
}

}  // namespace
}  // namespace velto::wire::testing
