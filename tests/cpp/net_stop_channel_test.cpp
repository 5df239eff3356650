// The stop channel: what the receiver sees, by its request word and by poll(), after each thing
// the sender side can do (a stray wake-up that asks nothing included), and the wake-up
// descriptor that lets a waiting thread see it at once (its latency is measured on the serving
// thread).
#include <fcntl.h>
#include <gtest/gtest.h>

#include <optional>

#include "net/stop_channel.hpp"
#include "net_test_support.hpp"

namespace velto::net {
namespace {

using Signal = StopReceiver::Signal;

using testing::readable;

struct Channel {
    Channel() {
        auto made = make_stop_channel();
        EXPECT_TRUE(made);
        sender.emplace(std::move(made.value().first));
        receiver.emplace(std::move(made.value().second));
    }
    std::optional<StopSender> sender;
    std::optional<StopReceiver> receiver;
};

// Each row: what happens on the sender side, in order, and what the receiver then sees.
enum class Step { Send, Retire, DropSender };

struct SignalCase {
    const char* name;
    std::vector<Step> steps;
    Signal expected;
};

class SignalAfter : public ::testing::TestWithParam<SignalCase> {};

TEST_P(SignalAfter, ReachesTheReceiverAndWakesIt) {
    Channel channel;
    for (Step step : GetParam().steps) {
        switch (step) {
            case Step::Send:
                EXPECT_TRUE(channel.sender->send());
                break;
            case Step::Retire:
                channel.sender->retire();
                break;
            case Step::DropSender:
                channel.sender.reset();
                break;
        }
    }
    // The request word alone tells it, before the descriptor is read.
    EXPECT_EQ(channel.receiver->requested(), GetParam().expected);
    EXPECT_EQ(channel.receiver->poll(), GetParam().expected);
    EXPECT_EQ(readable(channel.receiver->wake_fd()), GetParam().expected != Signal::None);
    EXPECT_EQ(channel.receiver->requested(), GetParam().expected);
    EXPECT_TRUE(::fcntl(channel.receiver->wake_fd(), F_GETFD) & FD_CLOEXEC);
    // Reading the signal consumes nothing: it stays until the receiver acts on it.
    EXPECT_EQ(channel.receiver->poll(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, SignalAfter,
    ::testing::Values(
        SignalCase{"Nothing", {}, Signal::None}, SignalCase{"Send", {Step::Send}, Signal::Stop},
        SignalCase{"SendTwice", {Step::Send, Step::Send}, Signal::Stop},
        SignalCase{"Retire", {Step::Retire}, Signal::StopKeepConnection},
        SignalCase{"DropSender", {Step::DropSender}, Signal::Disconnected},
        SignalCase{"SendThenDrop", {Step::Send, Step::DropSender}, Signal::Stop},
        SignalCase{"RetireThenDrop", {Step::Retire, Step::DropSender}, Signal::StopKeepConnection},
        SignalCase{"SendThenRetire", {Step::Send, Step::Retire}, Signal::Stop},
        SignalCase{"RetireThenSend", {Step::Retire, Step::Send}, Signal::Stop}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StopChannel, RefusesASendOnceTheReceiverIsGone) {
    Channel channel;
    EXPECT_TRUE(channel.sender->send());
    channel.receiver.reset();
    auto refused = channel.sender->send();
    ASSERT_FALSE(refused);
    EXPECT_STREQ(refused.error().text, "sending on a closed channel");
    channel.sender->retire();  // a no-op, not a failure
}

TEST(StopChannel, AWakeUpThatAsksNothingIsEmptied) {
    Channel channel;
    StopSender& sender = *channel.sender;
    StopReceiver& receiver = *channel.receiver;
    const std::uint64_t one = 1;
    ASSERT_EQ(::write(receiver.wake_fd(), &one, sizeof one), static_cast<ssize_t>(sizeof one));
    // Looking at the word reads nothing: the wake-up stays for the wait that will see it.
    EXPECT_EQ(receiver.requested(), Signal::None);
    EXPECT_TRUE(readable(receiver.wake_fd()));
    EXPECT_EQ(receiver.poll(), Signal::None);
    EXPECT_FALSE(readable(receiver.wake_fd()));
    // A real request is never emptied away.
    ASSERT_TRUE(sender.send());
    EXPECT_EQ(receiver.poll(), Signal::Stop);
    EXPECT_TRUE(readable(receiver.wake_fd()));
}

TEST(StopChannel, MovingASenderKeepsTheChannelAndReplacingOneDisconnectsTheOld) {
    Channel first;
    Channel second;
    StopSender moved = std::move(*first.sender);
    first.sender.reset();  // a moved-from sender disconnects nothing
    EXPECT_EQ(first.receiver->poll(), Signal::None);
    EXPECT_EQ(StopReceiver(nullptr).requested(), Signal::Disconnected);

    moved = std::move(*second.sender);  // the first channel loses its sender
    EXPECT_EQ(first.receiver->poll(), Signal::Disconnected);
    EXPECT_EQ(second.receiver->poll(), Signal::None);
    EXPECT_TRUE(moved.send());
    EXPECT_EQ(second.receiver->poll(), Signal::Stop);
}

}  // namespace
}  // namespace velto::net
