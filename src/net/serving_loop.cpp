// The serving loop: pause, look at the stop channel, wait for bytes, receive, decode and
// dispatch every complete frame; a stop wakes every wait at once.
#include "net/serving_loop.hpp"

#include <cxxabi.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>

#include "common/fault.hpp"
#include "net/console.hpp"
#include "net/frame_stream.hpp"
#include "net/socket.hpp"

namespace velto::net {

namespace {

using Clock = std::chrono::steady_clock;
using Signal = StopReceiver::Signal;

constexpr auto cycle_pause = std::chrono::milliseconds(500);
constexpr std::size_t receive_size = 1024;
// Frames that queued up while the thread paused are taken in one cycle, up to this many bytes,
// so a fast client meets a bounded delay instead of one that grows with every cycle.
constexpr std::size_t cycle_receive_limit = 64 * 1024;

// poll() on this thread: every signal is blocked here, so EINTR is only a spurious wake-up.
// Returns false when the deadline passed with nothing ready.
bool wait_ready(pollfd* fds, nfds_t count, std::optional<Clock::time_point> deadline) {
    for (;;) {
        int timeout = -1;
        if (deadline) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
            timeout = static_cast<int>(std::max<std::int64_t>(left.count(), 0));
        }
        const int ready = ::poll(fds, count, timeout);
        if (ready > 0) return true;
        if (ready == 0) {
            if (!deadline || Clock::now() >= *deadline) return false;
            continue;
        }
        if (errno != EINTR) {
            raise_fault("Failed to wait for the connection: " +
                        SystemError::from_errno(errno).display());
        }
    }
}

class ServingLoop {
  public:
    ServingLoop(const Fd& connection, const StopReceiver& stop, FrameHandler& handler,
                Predecessor predecessor)
        : connection_(connection),
          stop_(stop),
          handler_(handler),
          predecessor_(std::move(predecessor)) {}

    void run() {
        for (;;) {
            pause();
            if (stopped()) return;
            if (!take_over_from_predecessor()) {
                stopped();
                return;
            }
            if (!wait_for_bytes()) return;
            const auto received = receive();
            if (!received || *received == 0) continue;  // 0: "nothing", the peer has closed
            dispatch_complete_frames();
        }
    }

  private:
    // The fixed pause at the start of a cycle; a stop ends it at once.
    void pause() {
        pollfd wake{stop_.wake_fd(), POLLIN, 0};
        wait_ready(&wake, 1, Clock::now() + cycle_pause);
    }

    // Ends the loop when the channel says so. Returns true when it did.
    bool stopped() {
        const Signal signal = stop_.poll();
        if (signal == Signal::None) return false;
        if (signal == Signal::StopKeepConnection) {
            // What the next reader must continue includes a predecessor's unfinished frame,
            // which is only known once the predecessor has ended.
            take_over_from_predecessor();
            console_line("Terminating.");
            stop_.hand_over(stream_.take_pending());
            return true;
        }
        if (signal == Signal::Disconnected) console_line("Link broken");
        console_line("Terminating.");
        if (auto done = shutdown_both(connection_); !done) {
            raise_fault("Failed to shutdown server: " + done.error().display());
        }
        return true;
    }

    // Two readers on one socket could each get part of a frame: the thread that served the
    // connection before is let finish first, and its unfinished frame becomes this thread's.
    // Returns false when a stop (not a retire) came first.
    bool take_over_from_predecessor() {
        if (!predecessor_.exists()) return true;
        while (!predecessor_.finished()) {
            const Signal signal = stop_.poll();
            if (signal == Signal::Stop || signal == Signal::Disconnected) return false;
            // A retired thread waits only for the predecessor's end: its own wake-up
            // descriptor stays readable. A negative descriptor is ignored by poll().
            const bool retired = signal == Signal::StopKeepConnection;
            std::array<pollfd, 2> fds{pollfd{predecessor_.finished_fd(), POLLIN, 0},
                                      pollfd{retired ? -1 : stop_.wake_fd(), POLLIN, 0}};
            wait_ready(fds.data(), fds.size(), std::nullopt);
        }
        stream_.append(predecessor_.take_leftover());
        predecessor_ = Predecessor();
        return true;
    }

    // Waits until the socket has bytes (or an end or error to report). Returns false when a
    // stop ended the wait and the loop with it.
    bool wait_for_bytes() {
        // Either descriptor ends the wait; a stop is looked at before any data.
        std::array<pollfd, 2> fds{pollfd{connection_.get(), POLLIN, 0},
                                  pollfd{stop_.wake_fd(), POLLIN, 0}};
        wait_ready(fds.data(), fds.size(), std::nullopt);
        return !stopped();
    }

    // One receive as the protocol has it, then whatever else is already queued, each receive
    // traced on its own line. Returns the byte count of the first receive; nullopt when the
    // socket had nothing after all.
    std::optional<std::size_t> receive() {
        const auto first = receive_once();
        if (!first || *first == 0) return first;
        std::size_t taken = *first;
        while (taken < cycle_receive_limit && queued_bytes() > 0) {
            const auto more = receive_once();
            if (!more || *more == 0) break;
            taken += *more;
        }
        return first;
    }

    int queued_bytes() const {
        int queued = 0;
        if (::ioctl(connection_.get(), FIONREAD, &queued) != 0) return 0;
        return queued;
    }

    // Never blocks: a wait that a stop cannot end is what poll() is there to avoid. Returns
    // nullopt when there was nothing to take (another reader of the socket took it first).
    std::optional<std::size_t> receive_once() {
        buffer_.fill(0);
        ssize_t received;
        do {
            received = ::recv(connection_.get(), buffer_.data(), buffer_.size(), MSG_DONTWAIT);
        } while (received < 0 && errno == EINTR);
        if (received < 0) {
            const int code = errno;
            if (code == EAGAIN || code == EWOULDBLOCK) return std::nullopt;
            raise_fault("Failed to read frame : " + SystemError::from_errno(code).display());
        }
        const auto count = static_cast<std::size_t>(received);
        console_line("Received size : " + std::to_string(count));
        stream_.append(std::span(buffer_).first(count));
        return count;
    }

    void dispatch_complete_frames() {
        for (;;) {
            auto next = stream_.next();
            if (!next) raise_fault(next.error().text);
            if (!next.value()) return;
            if (auto done = handler_.execute_action(*next.value()); !done) {
                raise_fault("Action failed " + done.error());
            }
            console_line("done");
        }
    }

    const Fd& connection_;
    const StopReceiver& stop_;
    FrameHandler& handler_;
    Predecessor predecessor_;
    FrameStream stream_;
    std::array<std::uint8_t, receive_size> buffer_{};
};

void report_unexpected(const char* what) noexcept {
    try {
        report_fault(Fault(std::string("unexpected failure on the serving thread: ") + what,
                           std::source_location::current()));
    } catch (...) {
        // Nothing left to report with.
    }
}

}  // namespace

// The forced unwinding carries no C++ object: its catch clause binds a reference to a null
// address, which the undefined-behaviour sanitizer would report although it is never used.
__attribute__((no_sanitize("null"))) void run_serving_loop(const Fd& connection,
                                                           const StopReceiver& stop,
                                                           FrameHandler& handler,
                                                           Predecessor predecessor) {
    try {
        ServingLoop(connection, stop, handler, std::move(predecessor)).run();
    } catch (const Fault&) {
        // Reported where it was raised; the thread ends.
    } catch (abi::__forced_unwind&) {
        // The thread is being torn down (pthread_exit from the interpreter): this unwinding
        // must go on to the thread's start.
        throw;
    } catch (const std::exception& failure) {
        report_unexpected(failure.what());
    } catch (...) {
        report_unexpected("unknown exception");
    }
}

}  // namespace velto::net
