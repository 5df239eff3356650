// The serving thread against what a program around it can do: wake-ups that ask nothing (a
// forked child's copy of the channel), a new client after a half-sent frame, and the signal mask
// seen by actions; IPv6 scope ids. Real loopback sockets and a detached thread started as serve()
// starts it.
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "net/listen_address.hpp"
#include "net/serving_thread.hpp"
#include "net/socket.hpp"
#include "net/stop_channel.hpp"
#include "net_test_support.hpp"

namespace velto::net {
namespace {

using namespace std::chrono_literals;
using testing::Bytes;
using Signal = StopReceiver::Signal;

using testing::click;
using testing::directional;

using testing::readable;
std::chrono::microseconds process_cpu_time() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto total = [](const timeval& t) {
        return std::chrono::seconds(t.tv_sec) + std::chrono::microseconds(t.tv_usec);
    };
    return total(usage.ru_utime) + total(usage.ru_stime);
}

class RobustnessTest : public ::testing::Test {
  protected:
    testing::FdCapture out{STDOUT_FILENO};
    testing::FdCapture err{STDERR_FILENO};
    testing::Loopback link = testing::connect_loopback();
    std::shared_ptr<testing::HandlerLog> log = std::make_shared<testing::HandlerLog>();
};

// A wake-up that asks nothing: written straight to the descriptor, or what a forked child's
// close() and destruction of the inherited server do.
enum class StrayWakeUp { Written, ForkedChildCloses };

class StrayWakeUps : public RobustnessTest, public ::testing::WithParamInterface<StrayWakeUp> {};

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
// passing on over the same connection: SuccessorsWaitForABusyPredecessorAndPassItsBytesOn).
TEST_F(RobustnessTest, AnUnfinishedFrameIsNotContinuedOnANewClient) {
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
        std::optional<sigset_t> mask;
        pid_t thread = 0;
    };
    explicit MaskHandler(std::shared_ptr<Seen> seen) : seen_(std::move(seen)) {}
    Status<std::string> execute_action(const wire::Frame&) override {
        sigset_t mask;
        ::pthread_sigmask(SIG_BLOCK, nullptr, &mask);
        std::lock_guard lock(seen_->mutex);
        seen_->mask = mask;
        seen_->thread = static_cast<pid_t>(::syscall(SYS_gettid));
        seen_->changed.notify_all();
        return ok_unit;
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

TEST_F(RobustnessTest, ActionsRunWithTheStartersSignalMaskAndWaitsWithEverySignalBlocked) {
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

    testing::send_bytes(link.client, click(1));
    ASSERT_TRUE(out.wait_for_line("done"));
    std::lock_guard lock(seen->mutex);
    ASSERT_TRUE(seen->mask);
    for (int signal : {SIGINT, SIGTERM, SIGUSR1, SIGCHLD, SIGUSR2}) {
        EXPECT_EQ(::sigismember(&*seen->mask, signal), signal == SIGUSR2 ? 1 : 0) << signal;
    }
    // Back in its wait ("done" comes after the mask is restored), the thread blocks them all.
    const std::uint64_t waiting = blocked_signals_of(seen->thread);
    for (int signal : {SIGINT, SIGTERM, SIGUSR1, SIGCHLD, SIGUSR2}) {
        EXPECT_NE(waiting & bit(signal), 0u) << signal;
    }
    ASSERT_TRUE(sender.send());
    ASSERT_TRUE(testing::wait_for_eof(link.client));
}

// A numeric scope id is any 32-bit number, an interface name is looked up.
struct ScopeCase {
    const char* name;
    const char* text;
    std::uint32_t scope;
};

class IPv6Scope : public ::testing::TestWithParam<ScopeCase> {};

TEST_P(IPv6Scope, IsTakenFromTheLiteral) {
    auto resolved = resolve_listen_address(GetParam().text);
    ASSERT_TRUE(resolved) << resolved.error().display();
    ASSERT_EQ(resolved.value().size(), 1u);
    ASSERT_EQ(resolved.value()[0].family(), AF_INET6);
    const auto* address = reinterpret_cast<const sockaddr_in6*>(resolved.value()[0].get());
    EXPECT_EQ(address->sin6_scope_id, GetParam().scope);
    EXPECT_EQ(ntohs(address->sin6_port), 80);
}

INSTANTIATE_TEST_SUITE_P(Literals, IPv6Scope,
                         ::testing::Values(ScopeCase{"Small", "[fe80::1%2]:80", 2},
                                           ScopeCase{"AbovePorts", "[fe80::1%65536]:80", 65536},
                                           ScopeCase{"Largest", "[fe80::1%4294967295]:80",
                                                     4294967295U}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(IPv6ScopeName, IsTheInterfacesIndex) {
    auto resolved = resolve_listen_address("[fe80::1%lo]:80");
    ASSERT_TRUE(resolved) << resolved.error().display();
    const auto* address = reinterpret_cast<const sockaddr_in6*>(resolved.value()[0].get());
    EXPECT_EQ(address->sin6_scope_id, ::if_nametoindex("lo"));
}

}  // namespace
}  // namespace velto::net
