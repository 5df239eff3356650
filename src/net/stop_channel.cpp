// The stop channel: a few atomic flags and two eventfds, one that wakes the serving thread's
// poll() and one that tells a successor the thread has ended.
#include "net/stop_channel.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <vector>

#include "net/fd.hpp"

namespace velto::net {

namespace {

// The counters are never drained: every signal ends the serving loop and a thread ends once,
// so each descriptor may stay readable from its first signal on.
void signal_event(const Fd& event) noexcept {
    const std::uint64_t one = 1;
    while (::write(event.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
    // EAGAIN would mean the counter is at its maximum: it is readable already.
}

}  // namespace

struct StopChannelState {
    StopChannelState(Fd wake_fd, Fd finished_fd) noexcept
        : wake(std::move(wake_fd)), finished(std::move(finished_fd)) {}

    Fd wake;      // readable once the sender asked anything of the receiver
    Fd finished;  // readable once the receiver is gone
    std::atomic<bool> stop{false};
    std::atomic<bool> retired{false};
    std::atomic<bool> sender_gone{false};
    std::atomic<bool> receiver_gone{false};
    // Written by the receiving thread before `receiver_gone` is set, read by a successor only
    // after it saw `receiver_gone`: the flag orders the two, no lock is needed.
    std::vector<std::uint8_t> leftover;
};

Predecessor::Predecessor(std::shared_ptr<StopChannelState> state) noexcept
    : state_(std::move(state)) {}

int Predecessor::finished_fd() const noexcept {
    return state_ ? state_->finished.get() : -1;
}

bool Predecessor::finished() const noexcept {
    return !state_ || state_->receiver_gone.load(std::memory_order_acquire);
}

std::vector<std::uint8_t> Predecessor::take_leftover() {
    if (!state_ || !finished()) return {};
    return std::move(state_->leftover);
}

StopSender::StopSender(std::shared_ptr<StopChannelState> state) noexcept
    : state_(std::move(state)) {}

StopSender& StopSender::operator=(StopSender&& other) noexcept {
    if (this != &other) {
        disconnect();
        state_ = std::move(other.state_);
    }
    return *this;
}

StopSender::~StopSender() {
    disconnect();
}

Status<ChannelClosed> StopSender::send() {
    if (!state_ || state_->receiver_gone.load(std::memory_order_acquire)) {
        return fail(ChannelClosed{});
    }
    state_->stop.store(true, std::memory_order_release);
    signal_event(state_->wake);
    return ok_unit;
}

Predecessor StopSender::retire() noexcept {
    if (!state_) return Predecessor();
    state_->retired.store(true, std::memory_order_release);
    signal_event(state_->wake);
    return Predecessor(state_);
}

void StopSender::disconnect() noexcept {
    if (!state_) return;
    state_->sender_gone.store(true, std::memory_order_release);
    signal_event(state_->wake);
    state_.reset();
}

StopReceiver::StopReceiver(std::shared_ptr<StopChannelState> state) noexcept
    : state_(std::move(state)) {}

StopReceiver& StopReceiver::operator=(StopReceiver&& other) noexcept {
    if (this != &other) {
        close();
        state_ = std::move(other.state_);
    }
    return *this;
}

StopReceiver::~StopReceiver() {
    close();
}

StopReceiver::Signal StopReceiver::poll() const noexcept {
    if (!state_) return Signal::Disconnected;
    // A queued stop outranks everything: close() followed by the object's destruction is an
    // ordinary stop, and a stop sent before a retire still owes the peer its shutdown.
    if (state_->stop.load(std::memory_order_acquire)) return Signal::Stop;
    if (state_->retired.load(std::memory_order_acquire)) return Signal::StopKeepConnection;
    if (state_->sender_gone.load(std::memory_order_acquire)) return Signal::Disconnected;
    return Signal::None;
}

int StopReceiver::wake_fd() const noexcept {
    return state_ ? state_->wake.get() : -1;
}

void StopReceiver::hand_over(std::vector<std::uint8_t> leftover) const noexcept {
    if (state_) state_->leftover = std::move(leftover);
}

void StopReceiver::close() noexcept {
    if (!state_) return;
    state_->receiver_gone.store(true, std::memory_order_release);
    signal_event(state_->finished);
    state_.reset();
}

Result<std::pair<StopSender, StopReceiver>, SystemError> make_stop_channel() {
    Fd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake.valid()) return fail(SystemError::from_errno(errno));
    Fd finished(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!finished.valid()) return fail(SystemError::from_errno(errno));
    auto state = std::make_shared<StopChannelState>(std::move(wake), std::move(finished));
    return std::pair<StopSender, StopReceiver>(StopSender(state), StopReceiver(state));
}

}  // namespace velto::net
