// The stop channel: one word of request bits and the eventfd that wakes the serving thread's
// poll(); the hand-over and the relay of the client's outcome it carries for the thread.
#include "net/stop_channel.hpp"

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "net/event_fd.hpp"
#include "net/outcome_relay.hpp"

namespace velto::net {

namespace {

// The requests a sender makes. They live in one word, set with one fetch_or each and read with
// one load, so the receiver sees them in the order they were made: serve() retires a thread
// and then drops its sender, and the thread must never see the second without the first.
constexpr unsigned stop_requested = 1U << 0;
constexpr unsigned retire_requested = 1U << 1;
constexpr unsigned sender_gone = 1U << 2;

// A stop outranks everything: close() followed by the object's destruction is an ordinary stop,
// and a stop sent before a retire still owes the peer its shutdown. A retire outranks the
// sender's disappearance, which follows every retire.
StopReceiver::Signal strongest(unsigned requests) noexcept {
    using Signal = StopReceiver::Signal;
    if ((requests & stop_requested) != 0) return Signal::Stop;
    if ((requests & retire_requested) != 0) return Signal::StopKeepConnection;
    if ((requests & sender_gone) != 0) return Signal::Disconnected;
    return Signal::None;
}

}  // namespace

struct StopChannelState {
    StopChannelState(EventFd wake_fd, std::shared_ptr<Handover> handover_to_successor,
                     OutcomeRelay relay) noexcept
        : wake(std::move(wake_fd)),
          handover(std::move(handover_to_successor)),
          client(std::move(relay)) {}

    // A child made by fork() has copies of the flags but shares the descriptors with this
    // process: only this process may signal on them.
    bool foreign() const noexcept { return ::getpid() != owner; }

    // The process that made the channel.
    const pid_t owner = ::getpid();
    // Readable once the sender asked anything of the receiver. Emptied by the receiver only
    // when it finds nothing asked: each request ends the serving loop, so once there is one
    // the descriptor may stay readable.
    EventFd wake;
    std::atomic<unsigned> requests{0};
    // Ended when the receiver is gone; what a successor after a retire continues from.
    std::shared_ptr<Handover> handover;
    // What became of the client, for a program waiting on the connection.
    OutcomeRelay client;
    // Set by the receiving thread only, read when the receiver closes.
    bool client_lost = false;
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
    // In another process there is no receiver: this process's copy of the serving thread did
    // not survive the fork.
    if (!state_ || state_->foreign() || state_->handover->ended()) {
        return fail(ChannelClosed{});
    }
    state_->requests.fetch_or(stop_requested, std::memory_order_release);
    state_->wake.signal();
    return ok_unit;
}

Predecessor StopSender::retire() noexcept {
    if (!state_ || state_->foreign()) return Predecessor();
    state_->requests.fetch_or(retire_requested, std::memory_order_release);
    state_->wake.signal();
    return Predecessor(state_->handover);
}

void StopSender::disconnect() noexcept {
    if (!state_) return;
    if (!state_->foreign()) {
        state_->requests.fetch_or(sender_gone, std::memory_order_release);
        state_->wake.signal();
    }
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

StopReceiver::Signal StopReceiver::poll() noexcept {
    if (!state_) return Signal::Disconnected;
    unsigned requests = state_->requests.load(std::memory_order_acquire);
    if (requests == 0) {
        // Nothing asked, yet the descriptor may be readable. Emptied first and looked at again
        // after: a request whose wake-up this read took is then seen, as its bits were set
        // before its wake-up was written.
        state_->wake.drain();
        requests = state_->requests.load(std::memory_order_acquire);
    }
    return strongest(requests);
}

StopReceiver::Signal StopReceiver::requested() const noexcept {
    if (!state_) return Signal::Disconnected;
    return strongest(state_->requests.load(std::memory_order_acquire));
}

int StopReceiver::wake_fd() const noexcept {
    return state_ ? state_->wake.get() : -1;
}

void StopReceiver::hand_over(std::vector<std::uint8_t> pending,
                             std::optional<SocketIdentity> source) noexcept {
    if (!state_) return;
    state_->handover->leave(std::move(pending), source);
}

void StopReceiver::client_gone() noexcept {
    if (state_) state_->client.client_gone();
}

void StopReceiver::client_lost() noexcept {
    if (state_) state_->client_lost = true;
}

const ClientWatch* StopReceiver::client_watch() const noexcept {
    return state_ ? state_->client.watch() : nullptr;
}

void StopReceiver::close() noexcept {
    if (!state_) return;
    // The channel refuses sends before a waiting program hears how serving ended: a close() it
    // makes on that news must find the receiver gone.
    const unsigned requests = state_->requests.load(std::memory_order_acquire);
    state_->handover->end();
    // Ranked as in poll(): a stop outranks a retire. A retired thread reports nothing, the
    // thread that takes over carries the watch on; a stop or the sender's end is Stopped;
    // with nothing asked at all, only a fault can have ended the loop. A client that was lost
    // is what ended it, whatever was asked meanwhile.
    const bool retired = (requests & retire_requested) != 0 && (requests & stop_requested) == 0;
    using End = OutcomeRelay::End;
    state_->client.serving_ended(state_->client_lost ? End::Lost
                                 : retired            ? End::Retired
                                 : requests != 0      ? End::Stopped
                                                      : End::Failed);
    state_.reset();
}

Result<std::pair<StopSender, StopReceiver>, SystemError> make_stop_channel(
    std::shared_ptr<ClientWatch> client) {
    VELTO_TRY(EventFd wake, EventFd::make());
    VELTO_TRY(std::shared_ptr<Handover> handover, Handover::make());
    auto state = std::make_shared<StopChannelState>(std::move(wake), std::move(handover),
                                                    OutcomeRelay(std::move(client)));
    return std::pair<StopSender, StopReceiver>(StopSender(state), StopReceiver(state));
}

}  // namespace velto::net
