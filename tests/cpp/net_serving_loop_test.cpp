// The serving thread's own behaviour, where a Python program cannot stage or measure it: one
// cycle for a queued burst, the latency of a stop, successors of a busy thread, handler failures
// of every kind and the handler's last word; and against what a program around it can do:
// wake-ups that ask nothing (a forked child's copy of the channel), a new client after a
// half-sent frame, and the signal mask seen by actions. A real loopback client, a detached thread
// started the way the binding starts it, console lines read back from fd 1.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "net/serving_thread.hpp"
#include "net/socket.hpp"
#include "net/stop_channel.hpp"
#include "net_test_support.hpp"

namespace velto::net {
namespace {

using namespace std::chrono_literals;
using testing::Bytes;
using testing::HandlerReaction;
using Clock = std::chrono::steady_clock;

using testing::click;
using testing::directional;
using Signal = StopReceiver::Signal;

class ServingThreadTest : public ::testing::Test {
  protected:
    void start(std::optional<std::uint8_t> fail_on = std::nullopt,
               HandlerReaction how = HandlerReaction::Error, bool watch_finish = false) {
        testing::start_thread(link.server, sender, log, {}, fail_on, how, watch_finish);
    }

    void TearDown() override {
        // Dropping the sender ends a thread still running; the captures must outlive it.
        sender.reset();
        if (handler_survives) return;
        EXPECT_TRUE(log->wait_destroyed());
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

TEST_F(ServingThreadTest, TakesAQueuedBurstInOneCycleInOrder) {
    Bytes burst;
    std::vector<std::string> expected;
    for (int i = 0; i < 300; ++i) {
        const auto id = static_cast<std::uint8_t>(i % 256);
        const auto direction = static_cast<std::uint8_t>(i / 256);
        burst = burst + directional(id, direction);
        expected.push_back("DirectionalButton_" + std::to_string(id) + "(" +
                           std::to_string(direction) + ")");
    }
    testing::send_bytes(link.client, burst);  // queued before the thread's first receive
    start();
    ASSERT_TRUE(log->wait_frames(300, 10s));
    EXPECT_EQ(log->snapshot(), expected);
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
            EXPECT_TRUE(line == "done" || line == "after function" || line == "running action" ||
                        line.starts_with("Found frame ! "))
                << line;
            dispatched = true;
        }
    }
    EXPECT_EQ(received, burst.size());
    EXPECT_EQ(receives, (burst.size() + 1023) / 1024);
    EXPECT_EQ(log->thread_name, "velto-serving");
}

// AwaitingAction: the handler waits for work done elsewhere that never finishes (an action's
// coroutine on an event loop): the stop ends that wait too, and the frame gets no "done".
enum class StopWhile { Pausing, WaitingForBytes, AwaitingAction };

class StopLatency : public ServingThreadTest, public ::testing::WithParamInterface<StopWhile> {};

TEST_P(StopLatency, AStopEndsTheThreadAtOnceAndTheClientSeesTheEnd) {
    const bool awaiting = GetParam() == StopWhile::AwaitingAction;
    start(/*fail_on=*/1, awaiting ? HandlerReaction::AwaitElsewhere : HandlerReaction::Error);
    if (awaiting) {
        testing::send_bytes(link.client, click(1));
        ASSERT_TRUE(log->wait_frames(1, 10s));
    }
    if (GetParam() == StopWhile::WaitingForBytes) {
        testing::send_bytes(link.client, click(2));
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
    EXPECT_EQ(count("done"), GetParam() == StopWhile::WaitingForBytes ? 1u : 0u);
    EXPECT_FALSE(sender->send());  // the thread is gone (the refusal's text: the channel's tests)
}

INSTANTIATE_TEST_SUITE_P(Moments, StopLatency,
                         ::testing::Values(StopWhile::Pausing, StopWhile::WaitingForBytes,
                                           StopWhile::AwaitingAction),
                         [](const auto& info) {
                             switch (info.param) {
                                 case StopWhile::Pausing:
                                     return "Pausing";
                                 case StopWhile::WaitingForBytes:
                                     return "WaitingForBytes";
                                 case StopWhile::AwaitingAction:
                                     break;
                             }
                             return "AwaitingAction";
                         });

// serve() again while the thread is busy in an action, twice: the middle thread is retired while
// it waits, and the last one gets the first one's buffered frames and unfinished bytes.
TEST_F(ServingThreadTest, SuccessorsWaitForABusyPredecessorAndGetItsBytes) {
    const Bytes split = directional(2, 3);
    // Queued before the first receive, so that the first thread holds them all.
    testing::send_bytes(link.client,
                        click(1) + click(4) + click(5) + Bytes(split.begin(), split.begin() + 7));
    start(/*fail_on=*/1, HandlerReaction::Hold);
    ASSERT_TRUE(log->wait_frames(1));

    auto middle_log = std::make_shared<testing::HandlerLog>();
    std::optional<StopSender> middle;
    testing::start_thread(link.server, middle, middle_log, sender->retire());
    sender.reset();
    auto last_log = std::make_shared<testing::HandlerLog>();
    std::optional<StopSender> last;
    testing::start_thread(link.server, last, last_log, middle->retire());
    middle.reset();

    testing::send_bytes(link.client, Bytes(split.begin() + 7, split.end()));
    log->release();
    ASSERT_TRUE(last_log->wait_frames(3));
    EXPECT_EQ(last_log->snapshot(), (std::vector<std::string>{"ClickButton_4()", "ClickButton_5()",
                                                              "DirectionalButton_2(3)"}));
    EXPECT_EQ(log->snapshot(), std::vector<std::string>{"ClickButton_1()"});
    EXPECT_EQ(middle_log->snapshot(), std::vector<std::string>{});
    ASSERT_TRUE(log->wait_destroyed());
    ASSERT_TRUE(middle_log->wait_destroyed());
    ASSERT_TRUE(out.wait_for_line("done", 4));
    EXPECT_EQ(err.text(), "");
    ASSERT_TRUE(last->send());
    ASSERT_TRUE(last_log->wait_destroyed());
    EXPECT_EQ(count("Terminating."), 3u);
}

// Latest-only kinds: of the frames waiting at once, those a newer frame of the same widget
// supersedes are skipped. A retire in the middle of them hands the rest on undispatched,
// superseded ones included, to the successor, whose own settings (here: drop nothing) decide.
TEST_F(ServingThreadTest, LatestOnlySkipsSupersededFramesAndARetireHandsTheRestOn) {
    testing::send_bytes(link.client, directional(2, 1) + click(1) + directional(2, 2) +
                                         directional(3, 9) + directional(2, 3));
    ServingSettings latest;
    latest.latest_only.set(wire::WidgetRegistry(wire::DirectionalButton{}).index());
    testing::start_thread(link.server, sender, log, {}, /*fail_on=*/1, HandlerReaction::Hold,
                          false, latest);
    ASSERT_TRUE(log->wait_frames(1));
    auto next_log = std::make_shared<testing::HandlerLog>();
    std::optional<StopSender> next;
    testing::start_thread(link.server, next, next_log, sender->retire());
    sender.reset();
    log->release();
    ASSERT_TRUE(next_log->wait_frames(3));
    EXPECT_EQ(log->snapshot(), std::vector<std::string>{"ClickButton_1()"});
    EXPECT_EQ(next_log->snapshot(),
              (std::vector<std::string>{"DirectionalButton_2(2)", "DirectionalButton_3(9)",
                                        "DirectionalButton_2(3)"}));
    ASSERT_TRUE(log->wait_destroyed());
    ASSERT_TRUE(next->send());
    ASSERT_TRUE(next_log->wait_destroyed());
    EXPECT_EQ(err.text(), "");
}

struct HandlerReactionCase {
    const char* name;
    HandlerReaction how;
    std::string report;  // what the fault report on standard error ends with
};

class FailingHandler : public ServingThreadTest,
                       public ::testing::WithParamInterface<HandlerReactionCase> {};

TEST_P(FailingHandler, EndsTheThreadWithOneReportAndShutsTheConnectionDown) {
    start(/*fail_on=*/5, GetParam().how);
    testing::send_bytes(link.client, click(5) + click(6));
    // The client sees the end as after a stop, and only once the report is out.
    ASSERT_TRUE(testing::wait_for_eof(link.client));
    const std::string report = err.text();
    ASSERT_TRUE(log->wait_destroyed());
    EXPECT_EQ(log->snapshot(), std::vector<std::string>{"ClickButton_5()"});
    EXPECT_TRUE(report.ends_with(":\n" + GetParam().report + "\n")) << report;
    EXPECT_NE(report.find("velto-serving"), std::string::npos) << report;
    EXPECT_EQ(report.find("faulted at"), report.rfind("faulted at")) << "reported twice";
    EXPECT_FALSE(sender->send());
    EXPECT_EQ(count("done"), 0u);
    EXPECT_EQ(count("Terminating."), 0u);
    // The owner's handle is still open, on a connection that takes nothing any more.
    const Bytes answer{'o', 'k'};
    EXPECT_EQ(::send(link.server.get(), answer.data(), answer.size(), MSG_NOSIGNAL), -1);
    EXPECT_EQ(errno, EPIPE);
}

INSTANTIATE_TEST_SUITE_P(
    Ways, FailingHandler,
    ::testing::Values(HandlerReactionCase{"Error", HandlerReaction::Error,
                                          "Action failed boom\nhow it came to fail"},
                      HandlerReactionCase{"Fault", HandlerReaction::Fault, "handler fault"},
                      HandlerReactionCase{
                          "Exception", HandlerReaction::Exception,
                          "unexpected failure on the serving thread: handler exception"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ServingThreadTest, AThreadExitInAnActionUnwindsThroughTheLoopAndLeavesTheHandler) {
    handler_survives = true;
    start(/*fail_on=*/5, HandlerReaction::ThreadExit);
    testing::send_bytes(link.client, click(5));
    ASSERT_TRUE(log->wait_frames(1));  // from here on the thread only exits
    // Swallowing the forced unwinding would abort the whole process here.
    ASSERT_TRUE(wait_receiver_gone());
    EXPECT_FALSE(log->wait_destroyed(0ms));
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(count("Terminating."), 0u);
}

// finish() runs once on the serving thread, after the receiver and the connection are gone and
// before the handler is destroyed; a thread exit there leaves the handler alone.
class HandlerFinish : public ServingThreadTest, public ::testing::WithParamInterface<bool> {};

TEST_P(HandlerFinish, RunsOnceAfterTheReceiverAndConnectionAreGone) {
    const bool exit_in_finish = GetParam();
    handler_survives = exit_in_finish;
    start(std::nullopt, exit_in_finish ? HandlerReaction::ExitInFinish : HandlerReaction::Error,
          /*watch_finish=*/true);
    ASSERT_TRUE(sender->send());
    ASSERT_TRUE(testing::wait_for_eof(link.client));
    {
        std::unique_lock lock(log->mutex);
        ASSERT_TRUE(log->changed.wait_for(lock, 5s, [&] { return !log->ends.empty(); }));
    }
    // After a thread exit in finish() the process is alive and the handler was left alone.
    EXPECT_EQ(log->wait_destroyed(exit_in_finish ? 50ms : 5s), !exit_in_finish);
    std::lock_guard lock(log->mutex);
    const std::vector<std::string> ends = exit_in_finish
                                              ? std::vector<std::string>{"finish"}
                                              : std::vector<std::string>{"finish", "destroyed"};
    EXPECT_EQ(log->ends, ends);
    EXPECT_TRUE(log->finish_on_serving_thread);
    EXPECT_TRUE(log->send_refused_in_finish);
    EXPECT_TRUE(log->connection_closed_in_finish);
}

INSTANTIATE_TEST_SUITE_P(Ways, HandlerFinish, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "ThreadExit" : "Returns"; });

using testing::readable;
std::chrono::microseconds process_cpu_time() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto total = [](const timeval& t) {
        return std::chrono::seconds(t.tv_sec) + std::chrono::microseconds(t.tv_usec);
    };
    return total(usage.ru_utime) + total(usage.ru_stime);
}

class ProgramAroundTheThread : public ::testing::Test {
  protected:
    testing::FdCapture out{STDOUT_FILENO};
    testing::FdCapture err{STDERR_FILENO};
    testing::Loopback link = testing::connect_loopback();
    std::shared_ptr<testing::HandlerLog> log = std::make_shared<testing::HandlerLog>();
};

// A wake-up that asks nothing: written straight to the descriptor, or what a forked child's
// close() and destruction of the inherited server do.
enum class StrayWakeUp { Written, ForkedChildCloses };

class StrayWakeUps : public ProgramAroundTheThread,
                     public ::testing::WithParamInterface<StrayWakeUp> {};

TEST_P(StrayWakeUps, NeitherSpinNorStopTheThread) {
    std::optional<StopSender> sender;
    const int wake = testing::start_thread(link.server, sender, log);
    if (GetParam() == StrayWakeUp::Written) {
        const std::uint64_t one = 1;
        ASSERT_EQ(::write(wake, &one, sizeof one), static_cast<ssize_t>(sizeof one));
    } else {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // The child has the channel but not the thread: nothing it does may reach it.
            int code = 0;
            if (sender->send().ok()) code |= 1;
            if (sender->retire().exists()) code |= 2;
            sender.reset();
            ::_exit(code);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the send was accepted, 2: a predecessor came";
    }
    // The thread empties the descriptor at its next look at the channel.
    for (int tries = 0; tries < 2000 && readable(wake); ++tries) std::this_thread::sleep_for(1ms);
    ASSERT_FALSE(readable(wake));
    // Waiting threads only: a loop woken without end would burn this whole window.
    const auto cpu_before = process_cpu_time();
    std::this_thread::sleep_for(300ms);
    const auto cpu_used = process_cpu_time() - cpu_before;
    RecordProperty("cpu_us", std::to_string(cpu_used.count()));
    EXPECT_LT(cpu_used, 100ms);

    // Still serving, and still stopped by its own sender.
    testing::send_bytes(link.client, click(7));
    ASSERT_TRUE(log->wait_frames(1));
    EXPECT_EQ(log->snapshot(), std::vector<std::string>{"ClickButton_7()"});
    ASSERT_TRUE(sender->send());
    ASSERT_TRUE(testing::wait_for_eof(link.client));
    ASSERT_TRUE(log->wait_destroyed());
    EXPECT_EQ(out.count("Terminating."), 1u);
    EXPECT_EQ(out.count("Link broken"), 0u);
    EXPECT_EQ(err.text(), "");
}

INSTANTIATE_TEST_SUITE_P(Sources, StrayWakeUps,
                         ::testing::Values(StrayWakeUp::Written, StrayWakeUp::ForkedChildCloses),
                         [](const auto& info) {
                             return info.param == StrayWakeUp::Written ? "Written"
                                                                       : "ForkedChildCloses";
                         });

// A second open() accepts a new client and serve() retires the thread of the first: the bytes
// of an unfinished frame go with the connection they came from, never to the new one (their
// passing on over the same connection: SuccessorsWaitForABusyPredecessorAndGetItsBytes).
TEST_F(ProgramAroundTheThread, AnUnfinishedFrameIsNotContinuedOnANewClient) {
    std::optional<StopSender> sender;
    testing::start_thread(link.server, sender, log);
    const Bytes split = directional(2, 3);
    testing::send_bytes(link.client, Bytes(split.begin(), split.begin() + 7));
    ASSERT_TRUE(out.wait_for_line("Received size : 7"));

    const testing::Loopback next = testing::connect_loopback();
    auto next_log = std::make_shared<testing::HandlerLog>();
    std::optional<StopSender> successor;
    testing::start_thread(next.server, successor, next_log, sender->retire());
    sender.reset();  // replaced, as by serve()

    testing::send_bytes(next.client, click(5));
    ASSERT_TRUE(next_log->wait_frames(1));
    EXPECT_EQ(next_log->snapshot(), std::vector<std::string>{"ClickButton_5()"});
    ASSERT_TRUE(log->wait_destroyed());
    EXPECT_EQ(log->snapshot(), std::vector<std::string>{});
    ASSERT_TRUE(successor->send());
    ASSERT_TRUE(testing::wait_for_eof(next.client));
    ASSERT_TRUE(next_log->wait_destroyed());
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(out.count("Link broken"), 0u);
}

// Records the signal mask an action runs with, and the thread it runs on.
class MaskHandler : public FrameHandler {
  public:
    struct Seen {
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<sigset_t> masks;  // one per frame
        pid_t thread = 0;
    };
    explicit MaskHandler(std::shared_ptr<Seen> seen) : seen_(std::move(seen)) {}
    Dispatched execute_action(const wire::Frame&, BeforeProgramCode&, StopReceiver&) override {
        sigset_t mask;
        ::pthread_sigmask(SIG_BLOCK, nullptr, &mask);
        std::lock_guard lock(seen_->mutex);
        seen_->masks.push_back(mask);
        seen_->thread = static_cast<pid_t>(::syscall(SYS_gettid));
        seen_->changed.notify_all();
        return {Dispatched::Outcome::NoAction, {}};
    }

  private:
    std::shared_ptr<Seen> seen_;
};

// The blocked-signal bits of one thread of this process, from the kernel's view.
std::uint64_t blocked_signals_of(pid_t thread) {
    std::ifstream status("/proc/self/task/" + std::to_string(thread) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("SigBlk:")) return std::stoull(line.substr(7), nullptr, 16);
    }
    return 0;
}

std::uint64_t bit(int signal) {
    return std::uint64_t{1} << (signal - 1);
}

TEST_F(ProgramAroundTheThread, ActionsRunWithTheStartersSignalMaskAndWaitsWithEverySignalBlocked) {
    auto seen = std::make_shared<MaskHandler::Seen>();
    auto channel = make_stop_channel();
    ASSERT_TRUE(channel);
    StopSender sender = std::move(channel.value().first);
    // Started from a thread that blocks SIGUSR2 alone.
    std::thread starter([&] {
        sigset_t only;
        ::sigemptyset(&only);
        ::sigaddset(&only, SIGUSR2);
        ::pthread_sigmask(SIG_SETMASK, &only, nullptr);
        auto copy = duplicate(link.server);
        ASSERT_TRUE(copy);
        auto started =
            spawn_serving_thread(std::move(copy).value(), std::move(channel.value().second),
                                 std::make_unique<MaskHandler>(seen));
        ASSERT_TRUE(started);
    });
    starter.join();

    // Frames received together, and one more after the thread waited again.
    Bytes together = click(1);
    for (std::uint8_t id : {2, 3}) {
        const Bytes more = click(id);
        together.insert(together.end(), more.begin(), more.end());
    }
    testing::send_bytes(link.client, together);
    ASSERT_TRUE(out.wait_for_line("done", 3));
    testing::send_bytes(link.client, click(4));
    ASSERT_TRUE(out.wait_for_line("done", 4));
    std::lock_guard lock(seen->mutex);
    ASSERT_EQ(seen->masks.size(), 4u);
    for (const sigset_t& mask : seen->masks) {
        for (int signal : {SIGINT, SIGTERM, SIGUSR1, SIGCHLD, SIGUSR2}) {
            EXPECT_EQ(::sigismember(&mask, signal), signal == SIGUSR2 ? 1 : 0) << signal;
        }
    }
    // Back in its wait ("done" comes after the mask is restored), the thread blocks them all.
    const std::uint64_t waiting = blocked_signals_of(seen->thread);
    for (int signal : {SIGINT, SIGTERM, SIGUSR1, SIGCHLD, SIGUSR2}) {
        EXPECT_NE(waiting & bit(signal), 0u) << signal;
    }
    ASSERT_TRUE(sender.send());
    ASSERT_TRUE(testing::wait_for_eof(link.client));
}

}  // namespace
}  // namespace velto::net
