// The frame stream: frames that share a read, frames split over reads at every position, and
// the bound on an unfinished frame.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/frame_stream.hpp"
#include "net_test_support.hpp"

namespace velto::net {
namespace {

using testing::Bytes;
using wire::testing::describe;
using wire::testing::hex;

// Every complete frame the stream yields now; fails the test on a decode error.
std::vector<std::string> drain(FrameStream& stream) {
    std::vector<std::string> frames;
    for (int guard = 0; guard < 10000; ++guard) {
        auto next = stream.next();
        EXPECT_TRUE(next) << next.error().text;
        if (!next || !next.value()) break;
        frames.push_back(describe(*next.value()));
    }
    return frames;
}

// The frames of every accepted form, back to back, and what they decode to.
struct Stream {
    Bytes bytes;
    std::vector<std::string> frames;
};

Stream all_valid_frames() {
    Stream stream;
    for (const auto& f : wire::testing::valid_frames()) {
        stream.bytes = stream.bytes + f.bytes;
        stream.frames.push_back(describe(f.expected));
    }
    return stream;
}

TEST(FrameStream, YieldsBackToBackFramesOfOneReadInOrder) {
    const Stream all = all_valid_frames();
    FrameStream stream;
    stream.append(all.bytes);
    EXPECT_EQ(drain(stream), all.frames);
    EXPECT_EQ(stream.pending(), 0u);
    EXPECT_EQ(drain(stream), std::vector<std::string>{});
}

TEST(FrameStream, CompletesFramesSplitAtEveryBytePositionAndFedByteByByte) {
    const Stream all = all_valid_frames();
    for (std::size_t split = 0; split <= all.bytes.size(); ++split) {
        SCOPED_TRACE("split at " + std::to_string(split));
        FrameStream stream;
        stream.append(std::span(all.bytes).first(split));
        std::vector<std::string> frames = drain(stream);
        stream.append(std::span(all.bytes).subspan(split));
        for (auto& frame : drain(stream)) frames.push_back(std::move(frame));
        ASSERT_EQ(frames, all.frames);
        EXPECT_EQ(stream.pending(), 0u);
    }
    FrameStream stream;
    std::vector<std::string> frames;
    for (std::uint8_t byte : all.bytes) {
        stream.append(std::span(&byte, 1));
        for (auto& frame : drain(stream)) frames.push_back(std::move(frame));
    }
    EXPECT_EQ(frames, all.frames);
}

TEST(FrameStream, FramesBeforeAnUndecodableOneAreStillYielded) {
    const Bytes toggle = hex("92 03 81 ac 54 6f 67 67 6c 65 42 75 74 74 6f 6e 91 c3");
    FrameStream stream;
    stream.append(toggle + hex("c0") + toggle);
    auto first = stream.next();
    ASSERT_TRUE(first && first.value());
    EXPECT_EQ(describe(*first.value()), "ToggleButton_3(1)");
    // Exactly the decoder's own text for the bad frame, and the stream stays failed: nothing
    // after the bad frame is trusted.
    const std::string text = "invalid type: unit value, expected struct Frame";
    for (int again = 0; again < 2; ++again) {
        auto failed = stream.next();
        ASSERT_FALSE(failed);
        EXPECT_FALSE(failed.error().incomplete());
        EXPECT_EQ(failed.error().text, text);
    }
}

TEST(FrameStream, AnUnfinishedFrameMayNotOutgrowTheBound) {
    FrameStream stream;
    // A complete frame first: only the unfinished one counts. Then a map-form frame whose last
    // entry, an unknown key, carries a string announced as 1 MiB.
    stream.append(
        hex("92 01 81 00 90 83 a2 69 64 03 a4 64 61 74 61 81 00 90 a1 78 db 00 10 00 00"));
    EXPECT_EQ(drain(stream), std::vector<std::string>{"ClickButton_1()"});

    // Filled up to the bound in read-sized pieces, the frame is still waiting.
    while (stream.pending() < FrameStream::max_pending_frame) {
        const std::size_t piece =
            std::min<std::size_t>(1024, FrameStream::max_pending_frame - stream.pending());
        stream.append(Bytes(piece, 'x'));
        auto next = stream.next();
        ASSERT_TRUE(next) << next.error().text;
        ASSERT_FALSE(next.value());
    }
    EXPECT_EQ(stream.pending(), FrameStream::max_pending_frame);

    stream.append(Bytes{'x'});
    auto refused = stream.next();
    ASSERT_FALSE(refused);
    EXPECT_FALSE(refused.error().incomplete());
    EXPECT_EQ(refused.error().text, "frame exceeds 65536 bytes without completing");
}

}  // namespace
}  // namespace velto::net
