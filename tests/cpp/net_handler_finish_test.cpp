// The handler's last word on its serving thread: finish() runs once, after the receiver and the
// connection are gone and before the handler is destroyed, and may be ended by a thread exit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "net/serving_loop.hpp"
#include "net/socket.hpp"
#include "net/stop_channel.hpp"
#include "net_test_support.hpp"

namespace velto::net {
namespace {

using namespace std::chrono_literals;

struct FinishLog {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> events;
    bool send_refused_in_finish = false;
    bool on_serving_thread = false;
    bool connection_closed_in_finish = false;

    void add(std::string event) {
        std::lock_guard lock(mutex);
        events.push_back(std::move(event));
        changed.notify_all();
    }
    bool wait_events(std::size_t count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 5s, [&] { return events.size() >= count; });
    }
};

class FinishingHandler : public FrameHandler {
  public:
    FinishingHandler(std::shared_ptr<FinishLog> log, StopSender* sender, int connection,
                     bool exit_in_finish)
        : log_(std::move(log)),
          sender_(sender),
          connection_(connection),
          exit_in_finish_(exit_in_finish) {}
    ~FinishingHandler() override { log_->add("destroyed"); }

    Status<std::string> execute_action(const wire::Frame&) override { return ok_unit; }

    void finish() override {
        char name[32] = {};
        ::pthread_getname_np(::pthread_self(), name, sizeof name);
        log_->on_serving_thread = std::string_view(name) == "velto-serving";
        log_->send_refused_in_finish = !sender_->send().ok();
        // The thread's duplicate was the only other handle: once it is closed the test's own
        // handle is the last one, and the socket is still open through it.
        int type = 0;
        socklen_t length = sizeof type;
        log_->connection_closed_in_finish =
            ::fcntl(connection_, F_GETFD) < 0 ||
            ::getsockopt(connection_, SOL_SOCKET, SO_TYPE, &type, &length) != 0;
        log_->add("finish");
        if (exit_in_finish_) ::pthread_exit(nullptr);
    }

  private:
    std::shared_ptr<FinishLog> log_;
    StopSender* sender_;
    int connection_;
    bool exit_in_finish_;
};

class HandlerFinish : public ::testing::TestWithParam<bool> {};

TEST_P(HandlerFinish, RunsOnceAfterTheReceiverAndConnectionAreGone) {
    const bool exit_in_finish = GetParam();
    testing::FdCapture out{STDOUT_FILENO};
    testing::Loopback link = testing::connect_loopback();
    auto log = std::make_shared<FinishLog>();
    auto channel = make_stop_channel();
    ASSERT_TRUE(channel);
    auto copy = duplicate(link.server);
    ASSERT_TRUE(copy);
    const int thread_handle = copy.value().get();
    StopSender sender = std::move(channel.value().first);
    auto started = spawn_serving_thread(
        std::move(copy).value(), std::move(channel.value().second),
        std::make_unique<FinishingHandler>(log, &sender, thread_handle, exit_in_finish));
    ASSERT_TRUE(started);

    ASSERT_TRUE(sender.send());
    ASSERT_TRUE(testing::wait_for_eof(link.client));
    ASSERT_TRUE(log->wait_events(exit_in_finish ? 1 : 2));
    if (exit_in_finish) {
        // The forced unwinding passed (the process is alive) and the handler was left alone.
        std::this_thread::sleep_for(50ms);
        std::lock_guard lock(log->mutex);
        EXPECT_EQ(log->events, std::vector<std::string>{"finish"});
    } else {
        std::lock_guard lock(log->mutex);
        EXPECT_EQ(log->events, (std::vector<std::string>{"finish", "destroyed"}));
    }
    EXPECT_TRUE(log->on_serving_thread);
    EXPECT_TRUE(log->send_refused_in_finish);
    EXPECT_TRUE(log->connection_closed_in_finish);
}

INSTANTIATE_TEST_SUITE_P(Ways, HandlerFinish, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "ThreadExit" : "Returns"; });

}  // namespace
}  // namespace velto::net
