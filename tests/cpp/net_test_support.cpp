// Helpers for the network tests (see net_test_support.hpp).
#include "net_test_support.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <sstream>
#include <stdexcept>

#include "common/fault.hpp"
#include "net/completion.hpp"
#include "net/socket.hpp"

#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif

namespace velto::net::testing {

namespace {

int remaining_ms(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<std::int64_t>(left.count(), 0));
}

}  // namespace

FdCapture::FdCapture(int target) : target_(target) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    read_end_ = Fd(ends[0]);
    Fd write_end(ends[1]);
    std::fflush(nullptr);
    saved_ = Fd(::fcntl(target_, F_DUPFD_CLOEXEC, 0));
    ::dup2(write_end.get(), target_);
    reader_ = std::thread([this] { read_until_closed(); });
}

FdCapture::~FdCapture() {
    std::fflush(nullptr);
    // Restoring the descriptor drops the last write end of the pipe: the reader sees the end.
    ::dup2(saved_.get(), target_);
    reader_.join();
    if (::testing::Test::HasFailure()) {
        const std::string echo =
            "--- captured fd " + std::to_string(target_) + " ---\n" + text_ + "--- end ---\n";
        [[maybe_unused]] auto written = ::write(target_, echo.data(), echo.size());
    }
}

void FdCapture::read_until_closed() {
    char chunk[4096];
    for (;;) {
        const ssize_t got = ::read(read_end_.get(), chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return;
        std::lock_guard lock(mutex_);
        text_.append(chunk, static_cast<std::size_t>(got));
        changed_.notify_all();
    }
}

void FdCapture::settle() const {
    std::string marker;
    {
        std::lock_guard lock(mutex_);
        marker =
            "\x1f"
            "capture marker " +
            std::to_string(++markers_) + "\n";
    }
    if (::write(target_, marker.data(), marker.size()) != static_cast<ssize_t>(marker.size())) {
        throw std::runtime_error("cannot write the capture marker");
    }
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, 5s, [&] { return text_.find(marker) != std::string::npos; })) {
        throw std::runtime_error("the capture marker never arrived");
    }
    text_.erase(text_.find(marker), marker.size());
}

std::string FdCapture::text() const {
    settle();
    std::lock_guard lock(mutex_);
    return text_;
}

std::vector<std::string> FdCapture::lines() const {
    std::vector<std::string> result;
    std::istringstream stream(text());
    for (std::string line; std::getline(stream, line);) result.push_back(line);
    return result;
}

std::size_t FdCapture::count(std::string_view line) const {
    std::size_t found = 0;
    for (const auto& each : lines()) found += each == line ? 1 : 0;
    return found;
}

bool FdCapture::wait_for(const std::function<bool(const std::string&)>& condition,
                         std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return condition(text_); });
}

bool FdCapture::wait_for_line(std::string_view line, std::size_t times,
                              std::chrono::milliseconds timeout) const {
    const std::string needle = std::string(line) + "\n";
    return wait_for(
        [&](const std::string& text) {
            std::size_t found = 0;
            // A match counts only at the start of a line.
            for (std::size_t at = text.find(needle); at != std::string::npos;
                 at = text.find(needle, at + 1)) {
                if (at == 0 || text[at - 1] == '\n') ++found;
            }
            return found >= times;
        },
        timeout);
}

Loopback connect_loopback() {
    auto listener = listen_on("127.0.0.1:0");
    if (!listener) throw std::runtime_error("listen: " + listener.error().display());
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(listener->get(), reinterpret_cast<sockaddr*>(&address), &length);
    Fd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (::connect(client.get(), reinterpret_cast<sockaddr*>(&address), length) != 0) {
        throw std::runtime_error("connect failed");
    }
    auto server = accept_one(listener.value(), {});
    if (!server) throw std::runtime_error("accept: " + server.error().display());
    return Loopback{std::move(client), std::move(server).value()};
}

void send_bytes(const Fd& socket, const Bytes& bytes) {
    auto sent = send_all(socket, bytes, {});
    ASSERT_TRUE(sent) << sent.error().display();
}

bool wait_for_eof(const Fd& socket, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char chunk[4096];
    for (;;) {
        pollfd ready{socket.get(), POLLIN, 0};
        if (::poll(&ready, 1, remaining_ms(deadline)) <= 0) return false;
        const ssize_t got = ::recv(socket.get(), chunk, sizeof chunk, MSG_DONTWAIT);
        if (got == 0) return true;
        if (got < 0 && errno != EAGAIN && errno != EINTR) return false;
    }
}

Bytes receive_exactly(const Fd& socket, std::size_t size, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    Bytes received(size);
    std::size_t have = 0;
    while (have < size) {
        pollfd ready{socket.get(), POLLIN, 0};
        if (::poll(&ready, 1, remaining_ms(deadline)) <= 0) break;
        const ssize_t got = ::recv(socket.get(), received.data() + have, size - have, 0);
        if (got <= 0) break;
        have += static_cast<std::size_t>(got);
    }
    received.resize(have);
    return received;
}

bool HandlerLog::wait_frames(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return frames.size() >= count; });
}

bool HandlerLog::wait_destroyed(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return destroyed; });
}

void HandlerLog::release() {
    std::lock_guard lock(mutex);
    released = true;
    changed.notify_all();
}

std::vector<std::string> HandlerLog::snapshot() {
    std::lock_guard lock(mutex);
    return frames;
}

RecordingHandler::~RecordingHandler() {
    std::lock_guard lock(log_->mutex);
    log_->destroyed = true;
    log_->ends.push_back("destroyed");
    log_->changed.notify_all();
}

void RecordingHandler::finish() {
    std::unique_lock lock(log_->mutex);
    char name[32] = {};
    ::pthread_getname_np(::pthread_self(), name, sizeof name);
    log_->finish_on_serving_thread = std::string_view(name) == "velto-serving";
    if (log_->sender != nullptr) log_->send_refused_in_finish = !log_->sender->send().ok();
    if (log_->connection >= 0) {
        // Closed, or already reused for something that is no socket.
        int type = 0;
        socklen_t length = sizeof type;
        log_->connection_closed_in_finish =
            ::fcntl(log_->connection, F_GETFD) < 0 ||
            ::getsockopt(log_->connection, SOL_SOCKET, SO_TYPE, &type, &length) != 0;
    }
    log_->ends.push_back("finish");
    log_->changed.notify_all();
    if (how_ != HandlerReaction::ExitInFinish) return;
    lock.unlock();
#ifdef __SANITIZE_ADDRESS__
    __lsan_ignore_object(this);
#endif
    ::pthread_exit(nullptr);
}

Dispatched RecordingHandler::execute_action(const wire::Frame& frame, BeforeProgramCode& before,
                                            StopReceiver& stop) {
    before();
    std::unique_lock lock(log_->mutex);
    if (log_->frames.empty()) {
        char name[32] = {};
        ::pthread_getname_np(::pthread_self(), name, sizeof name);
        log_->thread_name = name;
    }
    log_->frames.push_back(wire::testing::describe(frame));
    log_->changed.notify_all();
    if (!fail_on_ || frame.id != *fail_on_) return {Dispatched::Outcome::Ran, {}};
    if (how_ == HandlerReaction::Hold) {
        log_->changed.wait_for(lock, 10s, [&] { return log_->released; });
        return {Dispatched::Outcome::Ran, {}};
    }
    lock.unlock();
    switch (how_) {
        case HandlerReaction::Error:
        case HandlerReaction::Hold:
        case HandlerReaction::ExitInFinish:
            break;
        case HandlerReaction::AwaitElsewhere: {
            // Work that nobody completes: only a stop, or the bound of this test's wait, ends it.
            auto completion = Completion::make();
            if (!completion) return {Dispatched::Outcome::Failed, completion.error().display()};
            int periods = 0;
            const auto waited =
                completion.value()->wait(stop, 10ms, [&] { return ++periods < 1000; });
            if (waited == Completion::Waited::Stopped) return {Dispatched::Outcome::Stopped, {}};
            return {Dispatched::Outcome::Failed, "gave up"};
        }
        case HandlerReaction::Fault:
            raise_fault("handler fault");
        case HandlerReaction::Exception:
            throw std::runtime_error("handler exception");
        case HandlerReaction::ThreadExit:
#ifdef __SANITIZE_ADDRESS__
            // The thread deliberately never destroys a handler it loses this way.
            __lsan_ignore_object(this);
#endif
            ::pthread_exit(nullptr);
    }
    return {Dispatched::Outcome::Failed, "boom", "how it came to fail"};
}

int start_thread(const Fd& server, std::optional<StopSender>& sender,
                 std::shared_ptr<HandlerLog> log, Predecessor predecessor,
                 std::optional<std::uint8_t> fail_on, HandlerReaction how, bool watch_finish,
                 ServingSettings settings) {
    auto channel = make_stop_channel();
    auto copy = duplicate(server);
    EXPECT_TRUE(channel && copy);
    sender.emplace(std::move(channel.value().first));
    if (watch_finish) {
        log->sender = &*sender;
        log->connection = copy.value().get();
    }
    const int wake_fd = channel.value().second.wake_fd();
    auto started = spawn_serving_thread(
        std::move(copy).value(), std::move(channel.value().second),
        std::make_unique<RecordingHandler>(std::move(log), fail_on, how), std::move(predecessor),
        std::move(settings));
    EXPECT_TRUE(started) << started.error().display();
    return wake_fd;
}

}  // namespace velto::net::testing
