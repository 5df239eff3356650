// The stop channel: a few atomic flags and an eventfd that wakes the serving thread's poll().
#include "net/stop_channel.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

#include "net/fd.hpp"

namespace velto::net {

struct StopChannelState {
    explicit StopChannelState(Fd wake_fd) noexcept : wake(std::move(wake_fd)) {}

    // The counter is never drained: every signal ends the serving loop, so the descriptor may
    // stay readable from the first signal on.
    void wake_up() noexcept {
        const std::uint64_t one = 1;
        while (::write(wake.get(), &one, sizeof one) < 0 && errno == EINTR) {
        }
        // EAGAIN would mean the counter is at its maximum: it is readable already.
    }

    Fd wake;
    std::atomic<bool> stop{false};
    std::atomic<bool> retired{false};
    std::atomic<bool> sender_gone{false};
    std::atomic<bool> receiver_gone{false};
};

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
    state_->wake_up();
    return ok_unit;
}

void StopSender::retire() noexcept {
    if (!state_) return;
    state_->retired.store(true, std::memory_order_release);
    state_->wake_up();
}

void StopSender::disconnect() noexcept {
    if (!state_) return;
    state_->sender_gone.store(true, std::memory_order_release);
    state_->wake_up();
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

void StopReceiver::close() noexcept {
    if (!state_) return;
    state_->receiver_gone.store(true, std::memory_order_release);
    state_.reset();
}

Result<std::pair<StopSender, StopReceiver>, SystemError> make_stop_channel() {
    Fd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake.valid()) return fail(SystemError::from_errno(errno));
    auto state = std::make_shared<StopChannelState>(std::move(wake));
    return std::pair<StopSender, StopReceiver>(StopSender(state), StopReceiver(state));
}

}  // namespace velto::net
