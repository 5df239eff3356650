// The client watch: its one outcome and its wait (timeout, interruption, level), and what the
// serving thread tells it through its stop channel for every way a client or a serving ends:
// a client that closes or resets, a stop, a fault, a retire on the same connection or a new one.
// Real loopback sockets and detached serving threads, started the way serve() starts them.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <memory>
#include <optional>
#include <thread>

#include "net/client_watch.hpp"
#include "net/serving_thread.hpp"
#include "net/socket.hpp"
#include "net/stop_channel.hpp"
#include "net_test_support.hpp"

namespace velto::net {
namespace {

using namespace std::chrono_literals;
using testing::Bytes;
using testing::click;
using Clock = std::chrono::steady_clock;
using Outcome = std::optional<ClientOutcome>;

std::shared_ptr<ClientWatch> new_watch() {
    auto made = ClientWatch::make();
    EXPECT_TRUE(made);
    return std::move(made).value();
}

Outcome wait_for(const ClientWatch& watch, std::chrono::nanoseconds timeout = 5s) {
    auto waited = watch.wait(timeout, [] { return true; });
    EXPECT_TRUE(waited) << waited.error().display();
    return waited ? waited.value() : Outcome();
}

TEST(ClientWatch, KeepsTheFirstOutcomeAndStaysReadyForEveryWaiter) {
    auto watch = new_watch();
    EXPECT_EQ(watch->outcome(), Outcome());
    EXPECT_EQ(wait_for(*watch, 0ns), Outcome());
    watch->report(ClientOutcome::Disconnected);
    watch->report(ClientOutcome::Failed);
    EXPECT_EQ(watch->outcome(), ClientOutcome::Disconnected);
    // Level, not edge: every later wait returns at once, as many times as it is asked.
    for (int i = 0; i < 3; ++i) EXPECT_EQ(wait_for(*watch, 0ns), ClientOutcome::Disconnected);
}

TEST(ClientWatch, WaitEndsAfterItsTimeoutWithNothing) {
    auto watch = new_watch();
    const auto start = Clock::now();
    EXPECT_EQ(wait_for(*watch, 150ms), Outcome());
    EXPECT_GE(Clock::now() - start, 150ms);
}

TEST(ClientWatch, WaitReturnsWhenAnotherThreadReports) {
    auto watch = new_watch();
    std::thread reporter([&] {
        std::this_thread::sleep_for(50ms);
        watch->report(ClientOutcome::Stopped);
    });
    EXPECT_EQ(wait_for(*watch), ClientOutcome::Stopped);
    reporter.join();
}

struct DetachCase {
    const char* name;
    Outcome reported_before;
    ClientOutcome expected;
};

class LastDetach : public ::testing::TestWithParam<DetachCase> {};

// The last serving thread gone with nothing said: nobody serves the connection any more.
TEST_P(LastDetach, EndsTheServingWithoutOverwritingAnOutcome) {
    auto watch = new_watch();
    watch->attach();
    watch->attach();
    if (GetParam().reported_before) watch->report(*GetParam().reported_before);
    watch->detach();
    EXPECT_EQ(watch->outcome(), GetParam().reported_before);
    watch->detach();
    EXPECT_EQ(watch->outcome(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    ClientWatch, LastDetach,
    ::testing::Values(DetachCase{"Nothing", std::nullopt, ClientOutcome::Stopped},
                      DetachCase{"Disconnected", ClientOutcome::Disconnected,
                                 ClientOutcome::Disconnected},
                      DetachCase{"Failed", ClientOutcome::Failed, ClientOutcome::Failed}),
    [](const auto& info) { return std::string(info.param.name); });

extern "C" void ignore_signal(int) {}

// The hook decides after an interrupted wait: going on keeps waiting (the time left measured
// again), giving up ends the wait with EINTR.
TEST(ClientWatch, InterruptedWaitAsksTheHook) {
    struct sigaction action {};
    action.sa_handler = ignore_signal;
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
    for (const bool go_on : {true, false}) {
        auto watch = new_watch();
        std::atomic<int> asked{0};
        std::atomic<bool> done{false};
        std::optional<Result<Outcome, SystemError>> result;
        std::thread waiter([&] {
            sigset_t usr1;
            sigemptyset(&usr1);
            sigaddset(&usr1, SIGUSR1);
            ::pthread_sigmask(SIG_UNBLOCK, &usr1, nullptr);
            result.emplace(watch->wait(2s, [&] {
                ++asked;
                return go_on;
            }));
            done = true;
        });
        const pthread_t waiting = waiter.native_handle();
        for (int tries = 0; tries < 200 && asked == 0; ++tries) {
            ::pthread_kill(waiting, SIGUSR1);
            std::this_thread::sleep_for(10ms);
        }
        if (go_on) {
            EXPECT_FALSE(done);
            watch->report(ClientOutcome::Stopped);
        }
        waiter.join();
        EXPECT_GE(asked, 1);
        ASSERT_TRUE(result);
        if (go_on) {
            EXPECT_EQ(result->value(), ClientOutcome::Stopped);
        } else {
            ASSERT_FALSE(*result);
            EXPECT_EQ(result->error().code, EINTR);
        }
    }
    ::sigaction(SIGUSR1, &previous, nullptr);
}

// An action waiting for its own client would wait for the thread that runs it.
TEST(ClientWatch, ItsOwnServingThreadCannotWaitWithoutATimeout) {
    auto watch = new_watch();
    auto other = new_watch();
    {
        const ClientWatch::ServingHere serving(watch.get());
        auto refused = watch->wait(std::nullopt, {});
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.error().code, EDEADLK);
        EXPECT_EQ(wait_for(*watch, 20ms), Outcome());
        other->report(ClientOutcome::Stopped);
        EXPECT_EQ(wait_for(*other), ClientOutcome::Stopped);
    }
    std::thread reporter([&] {
        std::this_thread::sleep_for(20ms);
        watch->report(ClientOutcome::Disconnected);
    });
    auto waited = watch->wait(std::nullopt, {});
    reporter.join();
    ASSERT_TRUE(waited);
    EXPECT_EQ(waited.value(), ClientOutcome::Disconnected);
}

// A child made by fork() has no serving thread: its waits end at once, and nothing it does
// wakes the parent's waiters.
TEST(ClientWatch, ForkedChildSeesItsServingGoneAndCannotReport) {
    auto watch = new_watch();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int code = 0;
        watch->report(ClientOutcome::Disconnected);
        if (watch->outcome() != ClientOutcome::Failed) code |= 1;
        auto waited = watch->wait(std::nullopt, {});
        if (!waited || waited.value() != ClientOutcome::Failed) code |= 2;
        ::_exit(code);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(watch->outcome(), Outcome());
    EXPECT_EQ(wait_for(*watch, 0ns), Outcome());
}

// ---- Through a serving thread ---------------------------------------------------------------

class WatchedThread : public ::testing::Test {
  protected:
    // As serve() does: the channel counts the new thread in on the watch before the thread it
    // takes over from (if any) is retired.
    void start(std::optional<StopSender>& into,
               const std::shared_ptr<testing::HandlerLog>& into_log, const Fd& server,
               const std::shared_ptr<ClientWatch>& on,
               std::optional<StopSender>* retiring = nullptr,
               std::optional<std::uint8_t> fail_on = std::nullopt) {
        auto channel = make_stop_channel(on);
        auto copy = duplicate(server);
        ASSERT_TRUE(channel && copy);
        Predecessor predecessor;
        if (retiring) predecessor = (*retiring)->retire();
        into.emplace(std::move(channel.value().first));
        auto started = spawn_serving_thread(
            std::move(copy).value(), std::move(channel.value().second),
            std::make_unique<testing::RecordingHandler>(into_log, fail_on), std::move(predecessor));
        ASSERT_TRUE(started) << started.error().display();
    }

    void start(std::optional<std::uint8_t> fail_on = std::nullopt) {
        start(sender, log, link.server, watch, nullptr, fail_on);
    }

    void TearDown() override {
        sender.reset();  // ends a thread still running; the captures must outlive it
        EXPECT_TRUE(log->wait_destroyed());
    }

    testing::FdCapture out{STDOUT_FILENO};
    testing::FdCapture err{STDERR_FILENO};
    testing::Loopback link = testing::connect_loopback();
    std::shared_ptr<ClientWatch> watch = new_watch();
    std::shared_ptr<testing::HandlerLog> log = std::make_shared<testing::HandlerLog>();
    std::optional<StopSender> sender;
};

// The thread goes on after the client left ("Received size : 0" every cycle), the watch says so
// at the first of them and keeps saying it after the stop that follows.
TEST_F(WatchedThread, ClientThatClosesIsDisconnectedWhileTheThreadGoesOn) {
    start();
    testing::send_bytes(link.client, click(1));
    ASSERT_TRUE(log->wait_frames(1));
    EXPECT_EQ(wait_for(*watch, 0ns), Outcome());
    link.client.reset();
    EXPECT_EQ(wait_for(*watch), ClientOutcome::Disconnected);
    EXPECT_TRUE(out.wait_for_line("Received size : 0", 2));
    EXPECT_EQ(out.count("Terminating."), 0u);
    ASSERT_TRUE(sender->send());
    ASSERT_TRUE(log->wait_destroyed());
    EXPECT_EQ(out.count("Terminating."), 1u);
    EXPECT_EQ(watch->outcome(), ClientOutcome::Disconnected);
    EXPECT_EQ(err.text(), "");
}

// A reset peer is a gone peer; the thread still reports its read fault as before.
TEST_F(WatchedThread, ClientThatResetsIsDisconnectedAndTheReadFaultIsReported) {
    start();
    const linger abort_on_close{1, 0};
    ASSERT_EQ(::setsockopt(link.client.get(), SOL_SOCKET, SO_LINGER, &abort_on_close,
                           sizeof abort_on_close),
              0);
    link.client.reset();
    EXPECT_EQ(wait_for(*watch), ClientOutcome::Disconnected);
    ASSERT_TRUE(log->wait_destroyed());
    EXPECT_NE(err.text().find("Failed to read frame : "), std::string::npos) << err.text();
}

struct EndCase {
    const char* name;
    Bytes sent;
    std::optional<std::uint8_t> fail_on;
    bool stop;
    ClientOutcome expected;
};

class ThreadEnd : public WatchedThread, public ::testing::WithParamInterface<EndCase> {};

TEST_P(ThreadEnd, IsTheOutcomeWhileTheClientStays) {
    start(GetParam().fail_on);
    if (!GetParam().sent.empty()) testing::send_bytes(link.client, GetParam().sent);
    if (GetParam().stop) {
        ASSERT_TRUE(sender->send());
    }
    EXPECT_EQ(wait_for(*watch), GetParam().expected);
    ASSERT_TRUE(log->wait_destroyed());
    EXPECT_EQ(watch->outcome(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    ClientWatch, ThreadEnd,
    ::testing::Values(EndCase{"Stop", {}, std::nullopt, true, ClientOutcome::Stopped},
                      EndCase{"UndecodableFrame", Bytes{0xc1}, std::nullopt, false,
                              ClientOutcome::Failed},
                      EndCase{"FailedAction", click(7), 7, false, ClientOutcome::Failed}),
    [](const auto& info) { return std::string(info.param.name); });

// serve() again on the same connection: the retired thread says nothing, and the waiter learns
// what became of the client from the thread that took over.
TEST_F(WatchedThread, RetireOnTheSameConnectionHandsTheWatchOn) {
    start();
    auto next_log = std::make_shared<testing::HandlerLog>();
    std::optional<StopSender> next;
    start(next, next_log, link.server, watch, &sender);
    sender.reset();
    ASSERT_TRUE(log->wait_destroyed());
    EXPECT_EQ(wait_for(*watch, 100ms), Outcome());
    testing::send_bytes(link.client, click(2));
    ASSERT_TRUE(next_log->wait_frames(1));
    link.client.reset();
    EXPECT_EQ(wait_for(*watch), ClientOutcome::Disconnected);
    ASSERT_TRUE(next->send());
    ASSERT_TRUE(next_log->wait_destroyed());
    log = next_log;  // for TearDown
}

// A new client (open() in between) gets a new watch: the thread of the first is retired, and
// nobody serves that connection any more.
TEST_F(WatchedThread, RetireForANewConnectionStopsTheOldWatch) {
    start();
    testing::Loopback second = testing::connect_loopback();
    auto second_watch = new_watch();
    auto next_log = std::make_shared<testing::HandlerLog>();
    std::optional<StopSender> next;
    start(next, next_log, second.server, second_watch, &sender);
    sender.reset();
    EXPECT_EQ(wait_for(*watch), ClientOutcome::Stopped);
    EXPECT_EQ(wait_for(*second_watch, 100ms), Outcome());
    ASSERT_TRUE(next->send());
    EXPECT_EQ(wait_for(*second_watch), ClientOutcome::Stopped);
    ASSERT_TRUE(next_log->wait_destroyed());
}

}  // namespace
}  // namespace velto::net
