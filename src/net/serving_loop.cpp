// The serving loop: pause, look at the stop channel, wait for bytes, receive, decode and
// dispatch every complete frame; a request on the channel wakes every wait at once. Console
// lines are collected and written before every wait and at the end.
#include "net/serving_loop.hpp"

#include <cxxabi.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <bitset>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/fault.hpp"
#include "common/system_call.hpp"
#include "net/console.hpp"
#include "net/frame_stream.hpp"
#include "net/poll_until.hpp"
#include "net/serving_lines.hpp"
#include "net/signal_mask.hpp"
#include "net/socket.hpp"

namespace velto::net {

namespace {

using Signal = StopReceiver::Signal;

constexpr std::size_t receive_size = 1024;
// Frames that queued up while the thread paused are taken in one cycle, up to this many bytes,
// so a fast client meets a bounded delay instead of one that grows with every cycle.
constexpr std::size_t cycle_receive_limit = 64 * 1024;

// poll() while every signal is blocked on this thread: EINTR is only a spurious wake-up, after
// which the time left is measured again. Returns when a descriptor is ready (see its revents)
// or the deadline has passed.
void wait_ready(std::span<pollfd> fds, SteadyTime deadline = no_deadline) {
    if (auto ready = poll_until(fds, deadline); !ready) {
        raise_fault("Failed to wait for the connection: " + ready.error().display());
    }
}

// For the report of bytes that do not decode: how many there are and the first of them in hex,
// sixteen to a line, which is what a client's author needs to find the mistake in the encoder.
std::string undecodable_bytes(std::span<const std::uint8_t> bytes) {
    constexpr std::size_t shown = 64;
    constexpr std::size_t per_line = 16;
    constexpr char digits[] = "0123456789abcdef";
    std::string text = "the bytes that did not decode (";
    if (bytes.size() > shown) text += "the first " + std::to_string(shown) + " of ";
    text += std::to_string(bytes.size()) + "):";
    bytes = bytes.first(std::min(bytes.size(), shown));
    for (std::size_t at = 0; at < bytes.size(); ++at) {
        text += at % per_line == 0 ? "\n  " : " ";
        text += digits[bytes[at] >> 4];
        text += digits[bytes[at] & 0x0f];
    }
    return text;
}

class ServingLoop {
  public:
    ServingLoop(const Fd& connection, StopReceiver& stop, FrameHandler& handler,
                const sigset_t& action_signals, Predecessor predecessor,
                const ServingSettings& settings)
        : connection_(connection),
          stop_(stop),
          handler_(handler),
          action_signals_(action_signals),
          predecessor_(std::move(predecessor)),
          settings_(settings),
          console_(settings.console_lines) {}

    void run() {
        for (;;) {
            pause();
            if (terminate_if_asked()) return;
            if (predecessor_.exists()) {
                if (!take_over_from_predecessor()) {
                    terminate_if_asked();
                    return;
                }
                // Frames the predecessor received but left undispatched go first.
                dispatch_complete_frames();
            }
            if (!wait_for_bytes()) return;
            receive();
            dispatch_complete_frames();
        }
    }

  private:
    // The pause at the start of a cycle (the read interval); a request on the channel ends it at
    // once, a wake-up that asked nothing does not. With no interval the cycle goes straight on
    // to its wait for bytes, which a stop ends as well, without a system call of its own.
    void pause() {
        console_.flush();
        auto interval = settings_.read_interval;
        if (client_closed_) {
            interval = std::max<std::chrono::nanoseconds>(interval,
                                                          ServingSettings::default_read_interval);
        }
        if (interval <= std::chrono::nanoseconds::zero()) return;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::ceil<std::chrono::steady_clock::duration>(interval);
        for (;;) {
            pollfd wake{stop_.wake_fd(), POLLIN, 0};
            wait_ready(std::span(&wake, 1), deadline);
            if (wake.revents == 0 || stop_.poll() != Signal::None) return;
        }
    }

    // Carries the termination out when the channel asks for it. Returns true when it did: the
    // loop is over. Only the request word is read: the descriptor is looked at by the waits.
    bool terminate_if_asked() {
        const Signal signal = stop_.requested();
        if (signal == Signal::None) return false;
        if (signal == Signal::StopKeepConnection) {
            // What the next reader must continue includes a predecessor's bytes, which are
            // only known once the predecessor has ended.
            take_over_from_predecessor();
            serving_lines::terminating(console_);
            console_.flush();
            stop_.hand_over(stream_.take_pending(), socket_identity(connection_));
            return true;
        }
        if (signal == Signal::Disconnected) serving_lines::link_broken(console_);
        serving_lines::terminating(console_);
        console_.flush();
        if (auto done = shutdown_both(connection_); !done) {
            raise_fault("Failed to shutdown server: " + done.error().display());
        }
        return true;
    }

    // Two readers on one socket could each get part of a frame: the thread that served the
    // connection before is let finish first, and what it left of this socket's bytes becomes
    // this thread's. Returns false when a stop (not a retire) came first.
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
            console_.flush();
            wait_ready(fds);
        }
        stream_.append(predecessor_.take_leftover(socket_identity(connection_)));
        predecessor_ = Predecessor();
        return true;
    }

    // Waits until the socket has bytes (or an end or error to report). Returns false when a
    // stop ended the wait and the loop with it.
    bool wait_for_bytes() {
        for (;;) {
            std::array<pollfd, 2> fds{pollfd{connection_.get(), POLLIN, 0},
                                      pollfd{stop_.wake_fd(), POLLIN, 0}};
            console_.flush();
            wait_ready(fds);
            // A wake-up that asked nothing is emptied, so that it does not wake the next wait.
            if (fds[1].revents != 0) static_cast<void>(stop_.poll());
            // A request is looked at before any data.
            if (terminate_if_asked()) return false;
            if (fds[0].revents != 0) return true;
        }
    }

    // One receive as the protocol has it, then whatever else is already queued, each receive
    // traced on its own line.
    void receive() {
        const auto first = receive_once();
        if (first && *first == 0) {
            client_closed_ = true;
            // A program that waits for the leave learns of it after the line that shows it.
            console_.flush();
            stop_.client_gone();
        }
        if (!first || *first == 0) return;  // 0: "nothing", the peer has closed
        std::size_t taken = *first;
        while (taken < cycle_receive_limit && queued_bytes() > 0) {
            const auto more = receive_once();
            if (!more || *more == 0) break;
            taken += *more;
        }
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
        const auto received = system_call([&] {
            return ::recv(connection_.get(), buffer_.data(), buffer_.size(), MSG_DONTWAIT);
        });
        if (!received) {
            const int code = received.error().code;
            if (code == EAGAIN || code == EWOULDBLOCK) return std::nullopt;
            // A reset or timed-out peer is as gone as one that closed; the fault still ends
            // the thread as before. When the kernel gives up on a peer that stopped answering
            // it reports the last soft error it recorded, if any, rather than ETIMEDOUT: on a
            // LAN whose phone has left, the router's or this host's "host unreachable".
            if (code == ECONNRESET || code == ETIMEDOUT || code == EHOSTUNREACH ||
                code == ENETUNREACH || code == EHOSTDOWN || code == ENETDOWN) {
                stop_.client_lost();
            }
            fail("Failed to read frame : " + received.error().display());
        }
        const auto count = static_cast<std::size_t>(received.value());
        serving_lines::received(console_, count);
        stream_.append(std::span(buffer_).first(count));
        return count;
    }

    // Dispatches the complete frames received so far, in order. Once this thread is retired
    // the rest stay in the stream, complete frames included: they are handed to the thread
    // that takes over, which dispatches them with the registry snapshot of the serve() that
    // started it. A frame that a later one supersedes (see mark_superseded) is taken out of the
    // stream without a line or a dispatch: its bytes were received and shown as such.
    void dispatch_complete_frames() {
        if (settings_.latest_only.any()) mark_superseded();
        // The program's mask is put in force once for the whole run of frames, not around each
        // action, and the waiting mask comes back when the run is over, before any wait.
        std::optional<ScopedSignalMask> program_mask;
        for (std::size_t index = 0; stop_.requested() != Signal::StopKeepConnection; ++index) {
            auto next = stream_.next();
            if (!next) fail(next.error().text, undecodable_bytes(stream_.pending_bytes()));
            if (!next.value()) return;
            if (index < superseded_.size() && superseded_[index]) continue;
            if (!program_mask) program_mask.emplace(action_signals_);
            if (!dispatch(*next.value())) return;
        }
    }

    // Looks ahead at the frames complete in the stream now and marks those that a later frame
    // of the same widget, of a kind in latest_only, supersedes; the order in which the stream
    // gives them out is the order of the marks. Where the frames end (an unfinished or bad
    // frame) the look stops: the stream reports that frame itself, as without the look.
    void mark_superseded() {
        constexpr std::uint16_t not_listed = 0xffff;
        widgets_.clear();
        for (auto rest = stream_.pending_bytes(); !rest.empty();) {
            auto parsed = wire::Frame::parse(rest);
            if (!parsed) break;
            const wire::Frame& frame = parsed.value().frame;
            const std::size_t kind = frame.data.index();
            widgets_.push_back(settings_.latest_only.test(kind)
                                   ? static_cast<std::uint16_t>(kind << 8 | frame.id)
                                   : not_listed);
            rest = rest.subspan(parsed.value().consumed);
        }
        superseded_.assign(widgets_.size(), false);
        seen_.reset();
        for (std::size_t index = widgets_.size(); index-- > 0;) {
            const std::uint16_t widget = widgets_[index];
            if (widget == not_listed) continue;
            if (seen_.test(widget)) {
                superseded_[index] = true;
            } else {
                seen_.set(widget);
            }
        }
    }

    // One frame to the handler, and the lines that show what became of it. False when a stop
    // ended it: the termination follows at once, no further frame is dispatched.
    bool dispatch(const wire::Frame& frame) {
        LinesBeforeAction before_action(console_, frame);
        Dispatched dispatched = handler_.execute_action(frame, before_action, stop_);
        switch (dispatched.outcome) {
            case Dispatched::Outcome::NoAction:
                serving_lines::no_action(console_, frame);
                break;
            case Dispatched::Outcome::Ran:
                serving_lines::after_action(console_);
                break;
            case Dispatched::Outcome::Failed:
                fail("Action failed " + dispatched.text, std::move(dispatched.details));
            case Dispatched::Outcome::Refused:
                // Frames a client still sends while its program exits are not a fault of
                // anything: no report.
                if (!before_action.written) serving_lines::found(console_, frame);
                console_.flush();
                raise_reported_fault(std::move(dispatched.text));
            case Dispatched::Outcome::Stopped:
                return false;
        }
        serving_lines::done(console_);
        return true;
    }

    class LinesBeforeAction final : public FrameHandler::BeforeProgramCode {
      public:
        LinesBeforeAction(ConsoleBuffer& console, const wire::Frame& frame) noexcept
            : console_(console), frame_(frame) {}
        void operator()() noexcept override {
            serving_lines::before_action(console_, frame_);
            console_.flush();
            written = true;
        }
        bool written = false;

      private:
        ConsoleBuffer& console_;
        const wire::Frame& frame_;
    };

    // A fault's report comes after every line collected before it, as it did when each line
    // was written at once.
    [[noreturn]] void fail(std::string text, std::string details = {}) {
        console_.flush();
        raise_fault(std::move(text), std::move(details));
    }

    const Fd& connection_;
    StopReceiver& stop_;
    FrameHandler& handler_;
    // The loop waits with every signal blocked, so that signals reach the interpreter's main
    // thread; an action is the program's own code, and a process it starts inherits the mask in
    // force: with the waiting mask it would ignore SIGTERM and SIGINT for its whole life.
    const sigset_t& action_signals_;
    Predecessor predecessor_;
    const ServingSettings& settings_;
    // The client has closed its side: every receive from now on finds that end (see pause).
    bool client_closed_ = false;
    FrameStream stream_;
    // The look ahead of mark_superseded, kept so that its storage is reused: each waiting
    // frame's widget (kind and id), whether it is superseded, and the widgets met so far.
    std::vector<std::uint16_t> widgets_;
    std::vector<bool> superseded_;
    std::bitset<wire::widget_kind_count * 256> seen_;
    std::array<std::uint8_t, receive_size> buffer_{};
    // Written out by its destructor too, when a fault or the thread's teardown ends the loop.
    ConsoleBuffer console_;
};

// A thread that ends by a fault ends its connection as a stop does: a client whose frames
// nobody reads any more must see that at once, not go on sending into a socket that takes its
// bytes and loses them. The fault is reported already; a shutdown that fails (a client that
// reset the connection first) leaves nothing further to tell.
void end_connection_after_fault(const Fd& connection) noexcept {
    try {
        static_cast<void>(shutdown_both(connection));
    } catch (const std::bad_alloc&) {
        // The shutdown was made; only the text of its failure could not be.
    }
}

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
__attribute__((no_sanitize("null"))) void run_serving_loop(const Fd& connection, StopReceiver& stop,
                                                           FrameHandler& handler,
                                                           const sigset_t& action_signals,
                                                           Predecessor predecessor,
                                                           const ServingSettings& settings) {
    try {
        ServingLoop(connection, stop, handler, action_signals, std::move(predecessor), settings)
            .run();
    } catch (const Fault&) {
        // Reported where it was raised; the thread ends.
        end_connection_after_fault(connection);
    } catch (abi::__forced_unwind&) {
        // The thread is being torn down (pthread_exit from the interpreter): this unwinding
        // must go on to the thread's start.
        throw;
    } catch (const std::exception& failure) {
        report_unexpected(failure.what());
        end_connection_after_fault(connection);
    } catch (...) {
        report_unexpected("unknown exception");
        end_connection_after_fault(connection);
    }
}

}  // namespace velto::net
