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
using testing::describe;

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

// The worked examples a client may send: array form, map form, a joystick with floats, a
// click selected by variant position.
const Bytes toggle_array{0x92, 0x03, 0x81, 0xac, 'T', 'o', 'g', 'g',  'l',
                         'e',  'B',  'u',  't',  't', 'o', 'n', 0x91, 0xc3};
const Bytes toggle_map{0x82, 0xa2, 'i',  'd',  0x03, 0xa4, 'd', 'a', 't', 'a', 0x81,
                       0xac, 'T',  'o',  'g',  'g',  'l',  'e', 'B', 'u', 't', 't',
                       'o',  'n',  0x81, 0xa5, 'v',  'a',  'l', 'u', 'e', 0xc3};
const Bytes joystick{0x92, 0x07, 0x81, 0xa8, 'J',  'o',  'y',  's',  't',  'i',
                     'c',  'k',  0x92, 0x92, 0xca, 0x3f, 0x00, 0x00, 0x00, 0xca,
                     0xbf, 0x80, 0x00, 0x00, 0xca, 0x3f, 0x40, 0x00, 0x00};
const Bytes click_by_position{0x92, 0x01, 0x81, 0x00, 0x90};

const std::vector<std::string> examples_decoded{"ToggleButton_3(1)", "ToggleButton_3(1)",
                                                "Joystick_7(0.5,-1,0.75)", "ClickButton_1()"};

TEST(FrameStream, YieldsBackToBackFramesOfOneReadInOrder) {
    FrameStream stream;
    stream.append(testing::joined({toggle_array, toggle_map, joystick, click_by_position}));
    EXPECT_EQ(drain(stream), examples_decoded);
    EXPECT_EQ(stream.pending(), 0u);
    EXPECT_EQ(drain(stream), std::vector<std::string>{});
}

TEST(FrameStream, CompletesAFrameSplitAtEveryBytePosition) {
    const Bytes all = testing::joined({toggle_map, joystick, click_by_position});
    const std::vector<std::string> expected(examples_decoded.begin() + 1, examples_decoded.end());
    for (std::size_t split = 0; split <= all.size(); ++split) {
        SCOPED_TRACE("split at " + std::to_string(split));
        FrameStream stream;
        stream.append(std::span(all).first(split));
        std::vector<std::string> frames = drain(stream);
        stream.append(std::span(all).subspan(split));
        for (auto& frame : drain(stream)) frames.push_back(std::move(frame));
        EXPECT_EQ(frames, expected);
        EXPECT_EQ(stream.pending(), 0u);
    }
}

TEST(FrameStream, AssemblesFramesFedOneByteAtATime) {
    const Bytes all = testing::joined({toggle_array, toggle_map, joystick, click_by_position});
    FrameStream stream;
    std::vector<std::string> frames;
    for (std::uint8_t byte : all) {
        stream.append(std::span(&byte, 1));
        for (auto& frame : drain(stream)) frames.push_back(std::move(frame));
    }
    EXPECT_EQ(frames, examples_decoded);
}

TEST(FrameStream, FramesBeforeAnUndecodableOneAreStillYielded) {
    FrameStream stream;
    stream.append(testing::joined({toggle_array, Bytes{0xc0}, joystick}));
    auto first = stream.next();
    ASSERT_TRUE(first && first.value());
    EXPECT_EQ(describe(*first.value()), "ToggleButton_3(1)");

    auto failed = stream.next();
    ASSERT_FALSE(failed);
    EXPECT_FALSE(failed.error().incomplete());
    // Exactly the decoder's own text for the bad frame.
    const Bytes nil{0xc0};
    auto direct = wire::Frame::parse(nil);
    ASSERT_FALSE(direct);
    EXPECT_EQ(failed.error().text, direct.error().text);
    // The stream stays failed: nothing after the bad frame is trusted.
    auto again = stream.next();
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().text, direct.error().text);
}

// A map-form frame whose last entry, an unknown key, carries a string announced as 1 MiB:
// the frame is incomplete until that many bytes arrive.
Bytes long_unfinished_frame_head() {
    Bytes head{0x83, 0xa2, 'i', 'd', 0x03, 0xa4, 'd',  'a',  't',  'a',  0x81, 0xac, 'T',
               'o',  'g',  'g', 'l', 'e',  'B',  'u',  't',  't',  'o',  'n',  0x91, 0xc3,
               0xa5, 'e',  'x', 't', 'r',  'a',  0xdb, 0x00, 0x10, 0x00, 0x00};
    return head;
}

TEST(FrameStream, AnUnfinishedFrameMayNotOutgrowTheBound) {
    FrameStream stream;
    stream.append(toggle_array);  // a complete frame first: only the unfinished one counts
    stream.append(long_unfinished_frame_head());
    EXPECT_EQ(drain(stream), std::vector<std::string>{"ToggleButton_3(1)"});

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

TEST(FrameStream, RepeatedPollsOfAnUnfinishedFrameKeepItsBytes) {
    FrameStream stream;
    stream.append(std::span(joystick).first(10));
    for (int i = 0; i < 3; ++i) {
        auto next = stream.next();
        ASSERT_TRUE(next);
        EXPECT_FALSE(next.value());
    }
    stream.append(Bytes{});  // nothing new: still waiting
    EXPECT_EQ(stream.pending(), 10u);
    stream.append(std::span(joystick).subspan(10));
    EXPECT_EQ(drain(stream), std::vector<std::string>{"Joystick_7(0.5,-1,0.75)"});
}

}  // namespace
}  // namespace velto::net
