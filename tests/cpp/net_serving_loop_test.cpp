// The serving thread end to end: a real loopback client, a detached thread started the way the
// binding starts it, a handler that records frames, console lines read back from fd 1.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <optional>

#include "net/serving_loop.hpp"
#include "net/socket.hpp"
#include "net/stop_channel.hpp"
#include "net_test_support.hpp"

namespace velto::net {
namespace {

using namespace std::chrono_literals;
using testing::Bytes;
using Clock = std::chrono::steady_clock;

class ServingThreadTest : public ::testing::Test {
  protected:
    // Starts the thread on a duplicate of the server end, as serve() does; the test keeps the
    // original handle, like the server object.
    void start(std::optional<std::uint8_t> fail_on = std::nullopt,
               testing::HandlerReaction how = testing::HandlerReaction::Error) {
        auto channel = make_stop_channel();
        ASSERT_TRUE(channel);
        auto copy = duplicate(link.server);
        ASSERT_TRUE(copy);
        sender.emplace(std::move(channel.value().first));
        auto started =
            spawn_serving_thread(std::move(copy).value(), std::move(channel.value().second),
                                 std::make_unique<testing::RecordingHandler>(log, fail_on, how));
        ASSERT_TRUE(started) << started.error().display();
    }

    void TearDown() override {
        // Dropping the sender ends a thread still running; the captures must outlive it.
        sender.reset();
        if (handler_survives) return;
        EXPECT_TRUE(log->wait_destroyed());
    }

    // Starts one more thread on the connection, taking it over from `predecessor`, as a second
    // serve() does.
    StopSender start_successor(std::shared_ptr<testing::HandlerLog> successor_log,
                               Predecessor predecessor) {
        auto channel = make_stop_channel();
        auto copy = duplicate(link.server);
        EXPECT_TRUE(channel && copy);
        auto started = spawn_serving_thread(
            std::move(copy).value(), std::move(channel.value().second),
            std::make_unique<testing::RecordingHandler>(std::move(successor_log)),
            std::move(predecessor));
        EXPECT_TRUE(started);
        return std::move(channel.value().first);
    }

    // Waits until the thread has let its stop receiver go, seen as a refused send. Each
    // accepted send queues a stop, so this is only for a thread that polls no more.
    bool wait_receiver_gone() {
        for (int tries = 0; tries < 5000; ++tries) {
            if (!sender->send()) return true;
            std::this_thread::sleep_for(1ms);
        }
        return false;
    }

    std::size_t count(std::string_view line) const { return out.count(line); }

    testing::FdCapture out{STDOUT_FILENO};
    testing::FdCapture err{STDERR_FILENO};
    testing::Loopback link = testing::connect_loopback();
    std::shared_ptr<testing::HandlerLog> log = std::make_shared<testing::HandlerLog>();
    std::optional<StopSender> sender;
    bool handler_survives = false;
};

std::vector<std::string> directional_names(int first, int count) {
    std::vector<std::string> names;
    for (int i = first; i < first + count; ++i) {
        names.push_back("DirectionalButton_" + std::to_string(i % 256) + "(" +
                        std::to_string(i / 256) + ")");
    }
    return names;
}

TEST_F(ServingThreadTest, DispatchesEveryFrameOfOneSendInOrder) {
    start();
    const Bytes two = testing::joined({testing::toggle_frame(3, true), testing::click_frame(200)});
    testing::send_bytes(link.client, two);
    ASSERT_TRUE(log->wait_frames(2));
    ASSERT_TRUE(out.wait_for_line("done", 2));
    EXPECT_EQ(log->snapshot(),
              (std::vector<std::string>{"ToggleButton_3(1)", "ClickButton_200()"}));
    EXPECT_EQ(out.lines(), (std::vector<std::string>{
                               "Received size : " + std::to_string(two.size()), "done", "done"}));
    // The thread is the binding's: named, and deaf to signals meant for the interpreter.
    EXPECT_EQ(log->thread_name, "velto-serving");
    EXPECT_TRUE(log->every_signal_blocked);
}

TEST_F(ServingThreadTest, CompletesAFrameSplitOverTwoSends) {
    start();
    const Bytes frame = testing::directional_frame(9, 4);
    testing::send_bytes(link.client, Bytes(frame.begin(), frame.begin() + 7));
    ASSERT_TRUE(out.wait_for_line("Received size : 7"));
    testing::send_bytes(link.client, Bytes(frame.begin() + 7, frame.end()));
    ASSERT_TRUE(out.wait_for_line("done"));
    EXPECT_EQ(log->snapshot(), std::vector<std::string>{"DirectionalButton_9(4)"});
    EXPECT_EQ(out.lines(), (std::vector<std::string>{
                               "Received size : 7",
                               "Received size : " + std::to_string(frame.size() - 7), "done"}));
}

TEST_F(ServingThreadTest, TakesAQueuedBurstInOneCycleInOrder) {
    std::vector<Bytes> frames;
    for (int i = 0; i < 300; ++i) {
        frames.push_back(testing::directional_frame(static_cast<std::uint8_t>(i % 256),
                                                    static_cast<std::uint8_t>(i / 256)));
    }
    const Bytes burst = testing::joined(frames);
    testing::send_bytes(link.client, burst);  // queued before the thread's first receive
    start();
    ASSERT_TRUE(log->wait_frames(300, 10s));
    EXPECT_EQ(log->snapshot(), directional_names(0, 300));
    ASSERT_TRUE(out.wait_for_line("done", 300));
    // One cycle: every queued byte in 1024-byte receives, all before the first dispatch.
    std::size_t received = 0;
    std::size_t receives = 0;
    bool dispatched = false;
    for (const auto& line : out.lines()) {
        if (line.starts_with("Received size : ")) {
            EXPECT_FALSE(dispatched) << "a receive after a dispatch: a second cycle";
            received += std::stoul(line.substr(16));
            ++receives;
        } else {
            EXPECT_EQ(line, "done");
            dispatched = true;
        }
    }
    EXPECT_EQ(received, burst.size());
    EXPECT_EQ(receives, (burst.size() + 1023) / 1024);
}

TEST_F(ServingThreadTest, ClientClosingItsSideIsNothingCycleAfterCycle) {
    start();
    ::shutdown(link.client.get(), SHUT_WR);
    ASSERT_TRUE(out.wait_for_line("Received size : 0", 2));
    EXPECT_EQ(log->snapshot(), std::vector<std::string>{});
    ASSERT_TRUE(sender->send());
    ASSERT_TRUE(log->wait_destroyed());
    EXPECT_EQ(count("Terminating."), 1u);
    EXPECT_EQ(err.text(), "");
}

enum class StopWhile { Pausing, WaitingForBytes };

class StopLatency : public ServingThreadTest, public ::testing::WithParamInterface<StopWhile> {};

TEST_P(StopLatency, AStopEndsTheThreadAtOnceAndTheClientSeesTheEnd) {
    start();
    if (GetParam() == StopWhile::WaitingForBytes) {
        testing::send_bytes(link.client, testing::click_frame(1));
        ASSERT_TRUE(out.wait_for_line("done"));
        // No event marks the thread's entry into its wait for bytes: let the pause that
        // follows "done" run out.
        std::this_thread::sleep_for(700ms);
    }
    const auto sent_at = Clock::now();
    ASSERT_TRUE(sender->send());
    ASSERT_TRUE(testing::wait_for_eof(link.client, 2s));
    const auto latency = Clock::now() - sent_at;
    RecordProperty(
        "stop_latency_us",
        std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(latency).count()));
    EXPECT_LT(latency, 100ms);
    ASSERT_TRUE(log->wait_destroyed());
    EXPECT_EQ(count("Terminating."), 1u);
    EXPECT_EQ(count("Link broken"), 0u);
    // A second stop while the thread is gone is refused.
    auto refused = sender->send();
    ASSERT_FALSE(refused);
    EXPECT_STREQ(refused.error().text, "sending on a closed channel");
}

INSTANTIATE_TEST_SUITE_P(Moments, StopLatency,
                         ::testing::Values(StopWhile::Pausing, StopWhile::WaitingForBytes),
                         [](const auto& info) {
                             return info.param == StopWhile::Pausing ? "Pausing"
                                                                     : "WaitingForBytes";
                         });

TEST_F(ServingThreadTest, ALostSenderEndsTheThreadAsAStopWithOneLinkBrokenLine) {
    start();
    sender.reset();
    ASSERT_TRUE(testing::wait_for_eof(link.client, 2s));
    ASSERT_TRUE(log->wait_destroyed());
    EXPECT_EQ(out.lines(), (std::vector<std::string>{"Link broken", "Terminating."}));
}

TEST_F(ServingThreadTest, ARetiredThreadLeavesTheConnectionToItsSuccessor) {
    start();
    sender->retire();
    ASSERT_TRUE(log->wait_destroyed());
    EXPECT_EQ(out.lines(), std::vector<std::string>{"Terminating."});
    // Both directions still work on the handle that remains.
    testing::send_bytes(link.client, Bytes{'p', 'i', 'n', 'g'});
    EXPECT_EQ(testing::receive_exactly(link.server, 4), (Bytes{'p', 'i', 'n', 'g'}));
    testing::send_bytes(link.server, Bytes{'p', 'o', 'n', 'g'});
    EXPECT_EQ(testing::receive_exactly(link.client, 4), (Bytes{'p', 'o', 'n', 'g'}));
}

TEST_F(ServingThreadTest, AFailedActionEndsTheThreadAndClosesItsChannel) {
    start(/*fail_on=*/2);
    testing::send_bytes(link.client,
                        testing::joined({testing::click_frame(1), testing::click_frame(2),
                                         testing::click_frame(3)}));
    ASSERT_TRUE(log->wait_destroyed());
    EXPECT_EQ(log->snapshot(), (std::vector<std::string>{"ClickButton_1()", "ClickButton_2()"}));
    EXPECT_EQ(count("done"), 1u);
    EXPECT_EQ(count("Terminating."), 0u);
    const std::string report = err.text();
    EXPECT_NE(report.find("\nAction failed boom\n"), std::string::npos) << report;
    EXPECT_NE(report.find("velto-serving"), std::string::npos) << report;
    auto refused = sender->send();
    ASSERT_FALSE(refused);
    EXPECT_STREQ(refused.error().text, "sending on a closed channel");
    // The connection is not shut down: it stays open until its owner closes it.
    testing::send_bytes(link.server, Bytes{'o', 'k'});
    EXPECT_EQ(testing::receive_exactly(link.client, 2), (Bytes{'o', 'k'}));
}

TEST_F(ServingThreadTest, ASuccessorContinuesTheFrameItsRetiredPredecessorStarted) {
    start();
    const Bytes second = testing::directional_frame(2, 3);
    const Bytes first_send =
        testing::joined({testing::click_frame(1), Bytes(second.begin(), second.begin() + 7)});
    testing::send_bytes(link.client, first_send);
    ASSERT_TRUE(out.wait_for_line("done"));
    ASSERT_EQ(count("Received size : " + std::to_string(first_send.size())), 1u);

    auto successor_log = std::make_shared<testing::HandlerLog>();
    StopSender successor = start_successor(successor_log, sender->retire());
    sender.reset();  // replaced, as serve() replaces it
    testing::send_bytes(link.client, Bytes(second.begin() + 7, second.end()));

    ASSERT_TRUE(successor_log->wait_frames(1));
    EXPECT_EQ(successor_log->snapshot(), std::vector<std::string>{"DirectionalButton_2(3)"});
    EXPECT_EQ(log->snapshot(), std::vector<std::string>{"ClickButton_1()"});
    ASSERT_TRUE(log->wait_destroyed());
    EXPECT_EQ(count("Link broken"), 0u);
    EXPECT_EQ(count("Terminating."), 1u);
    EXPECT_EQ(err.text(), "");
    ASSERT_TRUE(successor.send());
    ASSERT_TRUE(testing::wait_for_eof(link.client));
    ASSERT_TRUE(successor_log->wait_destroyed());
}

TEST_F(ServingThreadTest, SuccessorsWaitForABusyPredecessorAndPassItsBytesOn) {
    start(/*fail_on=*/1, testing::HandlerReaction::Hold);
    const Bytes second = testing::directional_frame(2, 3);
    testing::send_bytes(link.client, testing::joined({testing::click_frame(1),
                                                      Bytes(second.begin(), second.begin() + 7)}));
    ASSERT_TRUE(log->wait_frames(1));  // busy with frame 1, its partial successor in hand

    // Two more serve() calls while the first thread is still busy: the middle thread is
    // retired while it waits, and must pass the first thread's bytes on.
    auto middle_log = std::make_shared<testing::HandlerLog>();
    StopSender middle = start_successor(middle_log, sender->retire());
    sender.reset();
    auto last_log = std::make_shared<testing::HandlerLog>();
    StopSender last = start_successor(last_log, middle.retire());
    { StopSender replaced = std::move(middle); }

    testing::send_bytes(link.client, Bytes(second.begin() + 7, second.end()));
    log->release();
    ASSERT_TRUE(last_log->wait_frames(1));
    EXPECT_EQ(last_log->snapshot(), std::vector<std::string>{"DirectionalButton_2(3)"});
    EXPECT_EQ(log->snapshot(), std::vector<std::string>{"ClickButton_1()"});
    EXPECT_EQ(middle_log->snapshot(), std::vector<std::string>{});
    ASSERT_TRUE(log->wait_destroyed());
    ASSERT_TRUE(middle_log->wait_destroyed());
    EXPECT_EQ(err.text(), "");
    ASSERT_TRUE(last.send());
    ASSERT_TRUE(last_log->wait_destroyed());
    EXPECT_EQ(count("Terminating."), 3u);
}

struct HandlerReactionCase {
    const char* name;
    testing::HandlerReaction how;
    std::string report;  // the message in the fault report on standard error
};

class FailingHandler : public ServingThreadTest,
                       public ::testing::WithParamInterface<HandlerReactionCase> {};

TEST_P(FailingHandler, EndsTheThreadWithOneReport) {
    start(/*fail_on=*/5, GetParam().how);
    testing::send_bytes(link.client,
                        testing::joined({testing::click_frame(5), testing::click_frame(6)}));
    ASSERT_TRUE(log->wait_destroyed());
    EXPECT_EQ(log->snapshot(), std::vector<std::string>{"ClickButton_5()"});
    const std::string report = err.text();
    EXPECT_NE(report.find("\n" + GetParam().report + "\n"), std::string::npos) << report;
    EXPECT_EQ(report.find("faulted at"), report.rfind("faulted at")) << "reported twice";
    EXPECT_FALSE(sender->send());
    EXPECT_EQ(count("done"), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Ways, FailingHandler,
    ::testing::Values(
        HandlerReactionCase{"Error", testing::HandlerReaction::Error, "Action failed boom"},
        HandlerReactionCase{"Fault", testing::HandlerReaction::Fault, "handler fault"},
        HandlerReactionCase{"Exception", testing::HandlerReaction::Exception,
                            "unexpected failure on the serving thread: handler "
                            "exception"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ServingThreadTest, AThreadExitUnwindsThroughTheLoopAndLeavesTheHandlerAlone) {
    handler_survives = true;
    start(/*fail_on=*/5, testing::HandlerReaction::ThreadExit);
    testing::send_bytes(link.client, testing::click_frame(5));
    ASSERT_TRUE(log->wait_frames(1));  // from here on the thread only exits
    // Swallowing the forced unwinding would abort the whole process here.
    ASSERT_TRUE(wait_receiver_gone());
    EXPECT_FALSE(log->wait_destroyed(0ms));
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(count("Terminating."), 0u);
}

struct BadInput {
    const char* name;
    Bytes good;  // complete frames sent before the bad bytes
    Bytes bad;
    std::string fault;  // empty: whatever the decoder itself says about `bad`
};

class UndecodableInput : public ServingThreadTest,
                         public ::testing::WithParamInterface<BadInput> {};

TEST_P(UndecodableInput, EndsTheThreadWithTheDecodeError) {
    std::string fault = GetParam().fault;
    if (fault.empty()) {
        auto parsed = wire::Frame::parse(GetParam().bad);
        ASSERT_FALSE(parsed);
        fault = parsed.error().text;
    }
    start();
    testing::send_bytes(link.client, testing::joined({GetParam().good, GetParam().bad}));
    ASSERT_TRUE(log->wait_destroyed(5s));
    EXPECT_EQ(log->snapshot().size(), GetParam().good.empty() ? 0u : 1u);
    EXPECT_NE(err.text().find("\n" + fault + "\n"), std::string::npos) << err.text();
    EXPECT_EQ(count("Terminating."), 0u);
    EXPECT_FALSE(sender->send());
}

Bytes oversized_unfinished_frame() {
    // A map-form frame whose unknown third key carries a string announced as 1 MiB.
    Bytes frame{0x83, 0xa2, 'i', 'd', 0x03, 0xa4, 'd',  'a',  't',  'a',  0x81, 0xac, 'T',
                'o',  'g',  'g', 'l', 'e',  'B',  'u',  't',  't',  'o',  'n',  0x91, 0xc3,
                0xa5, 'e',  'x', 't', 'r',  'a',  0xdb, 0x00, 0x10, 0x00, 0x00};
    frame.resize(70 * 1024, 'x');
    return frame;
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, UndecodableInput,
    ::testing::Values(BadInput{"Nil", Bytes{}, Bytes{0xc0}, ""},
                      BadInput{"AfterAGoodFrame", testing::click_frame(1), Bytes{0x90}, ""},
                      BadInput{"Oversized", Bytes{}, oversized_unfinished_frame(),
                               "frame exceeds 65536 bytes without completing"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velto::net
