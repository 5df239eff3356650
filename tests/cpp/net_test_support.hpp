// Helpers for the network tests: capturing a standard descriptor, loopback connections and a
// frame handler that records what it is given.
#pragma once

#include <poll.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "net/fd.hpp"
#include "net/serving_loop.hpp"
#include "net/serving_thread.hpp"
#include "net/stop_channel.hpp"
#include "wire_test_support.hpp"

namespace velto::net {
// Byte sequences are joined with + in every network test.
using wire::testing::operator+;
}  // namespace velto::net

namespace velto::net::testing {

using namespace std::chrono_literals;
using wire::testing::Bytes;

// Redirects a descriptor (1 or 2) into a pipe for the lifetime of the object; a reader thread
// collects what is written, so tests can wait for a line instead of sleeping. When the test
// has failed by the time the capture ends, the captured text is echoed to the real descriptor.
class FdCapture {
  public:
    explicit FdCapture(int target);
    ~FdCapture();
    FdCapture(const FdCapture&) = delete;
    FdCapture& operator=(const FdCapture&) = delete;

    // Everything written so far, including writes still in the pipe when it is called.
    std::string text() const;
    std::vector<std::string> lines() const;
    // Lines equal to `line`.
    std::size_t count(std::string_view line) const;
    // Waits until the captured text satisfies `condition`; false when `timeout` passed first.
    bool wait_for(const std::function<bool(const std::string&)>& condition,
                  std::chrono::milliseconds timeout = 5s) const;
    // Waits until `line` has been written `times` times.
    bool wait_for_line(std::string_view line, std::size_t times = 1,
                       std::chrono::milliseconds timeout = 5s) const;

  private:
    void read_until_closed();
    // Writes a marker line through the captured descriptor and waits until the reader has it:
    // the pipe keeps order, so every earlier write has been collected by then.
    void settle() const;

    int target_;
    Fd saved_;
    Fd read_end_;
    std::thread reader_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    mutable std::string text_;
    mutable unsigned markers_ = 0;
};

// A connected pair over 127.0.0.1: the client end and the accepted server end.
struct Loopback {
    Fd client;
    Fd server;
};
Loopback connect_loopback();

// Blocking helpers on the client side, each bounded by `timeout`.
void send_bytes(const Fd& socket, const Bytes& bytes);
// Reads until EOF or `timeout`; returns true on EOF. Data before the EOF is discarded.
bool wait_for_eof(const Fd& socket, std::chrono::milliseconds timeout = 5s);
// Reads exactly `size` bytes; shorter when the stream ends or `timeout` passes.
Bytes receive_exactly(const Fd& socket, std::size_t size, std::chrono::milliseconds timeout = 5s);

// What a RecordingHandler saw, shared with the test after the handler moved to its thread.
struct HandlerLog {
    std::vector<std::string> frames;
    std::string thread_name;
    bool destroyed = false;
    bool released = false;
    // What finish() found: set when the test gives the thread's sender and connection handle.
    StopSender* sender = nullptr;
    int connection = -1;
    std::vector<std::string> ends;  // "finish", "destroyed", in the order they happened
    bool finish_on_serving_thread = false;
    bool send_refused_in_finish = false;
    bool connection_closed_in_finish = false;

    bool wait_frames(std::size_t count, std::chrono::milliseconds timeout = 5s);
    bool wait_destroyed(std::chrono::milliseconds timeout = 5s);
    void release();
    std::vector<std::string> snapshot();

    std::mutex mutex;
    std::condition_variable changed;
};

// What a RecordingHandler does on its chosen frame.
enum class HandlerReaction {
    Error,         // fails with the text "boom", details "how it came to fail"
    Fault,         // raises the fault "handler fault"
    Exception,     // throws std::runtime_error("handler exception")
    ThreadExit,    // pthread_exit(), as the interpreter does to a thread during finalization
    Hold,          // succeeds, but only once HandlerLog::release() was called (like an action
                   // waiting for the interpreter lock)
    ExitInFinish,  // pthread_exit() in finish(), as when it waits for a finalizing interpreter
    AwaitElsewhere,  // waits for a Completion that nobody completes (an action's coroutine on
                     // an event loop that never finishes it) until a stop ends the wait
};

// Records every frame; reacts as told on the frame with id `fail_on`.
class RecordingHandler : public FrameHandler {
  public:
    explicit RecordingHandler(std::shared_ptr<HandlerLog> log,
                              std::optional<std::uint8_t> fail_on = std::nullopt,
                              HandlerReaction how = HandlerReaction::Error)
        : log_(std::move(log)), fail_on_(fail_on), how_(how) {}
    ~RecordingHandler() override;
    Dispatched execute_action(const wire::Frame& frame, BeforeProgramCode& before,
                              StopReceiver& stop) override;
    void finish() override;

  private:
    std::shared_ptr<HandlerLog> log_;
    std::optional<std::uint8_t> fail_on_;
    HandlerReaction how_;
};

// Starts a serving thread with a RecordingHandler on a duplicate of `server`, as serve() does
// (the test keeps the original handle, like the server object), and puts its sender in `sender`.
// With `watch_finish`, finish() checks that sender and the thread's handle (the test must then
// keep the sender until finish() has run). Returns the descriptor the thread waits on for stops.
int start_thread(const Fd& server, std::optional<StopSender>& sender,
                 std::shared_ptr<HandlerLog> log, Predecessor predecessor = {},
                 std::optional<std::uint8_t> fail_on = std::nullopt,
                 HandlerReaction how = HandlerReaction::Error, bool watch_finish = false,
                 ServingSettings settings = {});

// True when `fd` can be read without waiting.
inline bool readable(int fd) {
    pollfd ready{fd, POLLIN, 0};
    return ::poll(&ready, 1, 0) == 1 && (ready.revents & POLLIN);
}

inline Bytes click(std::uint8_t id) {
    return wire::testing::frame(id, wire::testing::variant("ClickButton", {0x90}));
}

inline Bytes directional(std::uint8_t id, std::uint8_t direction) {
    return wire::testing::frame(id, wire::testing::variant("DirectionalButton", {0x91, direction}));
}

}  // namespace velto::net::testing
