// The stop channel: one word of request bits and two eventfds, one that wakes the serving
// thread's poll() and one that tells a successor the thread has ended.
#include "net/stop_channel.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <vector>

#include "common/system_call.hpp"
#include "net/fd.hpp"

namespace velto::net {

namespace {

// The requests a sender makes. They live in one word, set with one fetch_or each and read with
// one load, so the receiver sees them in the order they were made: serve() retires a thread
// and then drops its sender, and the thread must never see the second without the first.
constexpr unsigned stop_requested = 1U << 0;
constexpr unsigned retire_requested = 1U << 1;
constexpr unsigned sender_gone = 1U << 2;

void signal_event(const Fd& event) noexcept {
    const std::uint64_t one = 1;
    static_cast<void>(system_call([&] { return ::write(event.get(), &one, sizeof one); }));
    // EAGAIN would mean the counter is at its maximum: it is readable already.
}

void drain_event(const Fd& event) noexcept {
    std::uint64_t count = 0;
    for (;;) {
        const auto got = system_call([&] { return ::read(event.get(), &count, sizeof count); });
        // One read empties an eventfd; the next one fails with EAGAIN (non-blocking).
        if (!got || got.value() == 0) return;
    }
}

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
    StopChannelState(Fd wake_fd, Fd finished_fd, std::shared_ptr<ClientWatch> watch) noexcept
        : wake(std::move(wake_fd)), finished(std::move(finished_fd)), client(std::move(watch)) {}

    // A child made by fork() has copies of the flags but shares both descriptors with this
    // process: only this process may signal on them.
    bool foreign() const noexcept { return ::getpid() != owner; }

    // The process that made the channel.
    const pid_t owner = ::getpid();
    // Readable once the sender asked anything of the receiver. Emptied by the receiver only
    // when it finds nothing asked: each request ends the serving loop, so once there is one
    // the descriptor may stay readable.
    Fd wake;
    // Readable once the receiver is gone; a thread ends once, so it is never emptied.
    Fd finished;
    std::atomic<unsigned> requests{0};
    std::atomic<bool> receiver_gone{false};
    // Set by the receiving thread only, read when the receiver closes.
    bool client_lost = false;
    // Written by the receiving thread before `receiver_gone` is set, read by a successor only
    // after it saw `receiver_gone`: the flag orders them, no lock is needed.
    std::vector<std::uint8_t> pending;
    std::optional<SocketIdentity> pending_source;
    // What became of the client, for a program waiting on the connection; may be null.
    std::shared_ptr<ClientWatch> client;
};

Predecessor::Predecessor(std::shared_ptr<StopChannelState> state) noexcept
    : state_(std::move(state)) {}

int Predecessor::finished_fd() const noexcept {
    return state_ ? state_->finished.get() : -1;
}

bool Predecessor::finished() const noexcept {
    return !state_ || state_->receiver_gone.load(std::memory_order_acquire);
}

std::vector<std::uint8_t> Predecessor::take_leftover(std::optional<SocketIdentity> reader) {
    if (!state_ || !finished()) return {};
    std::vector<std::uint8_t> pending = std::move(state_->pending);
    // A source or reader that could not be identified counts as another socket: bytes dropped
    // lose one unfinished frame, bytes of another connection would corrupt every later one.
    if (!reader || state_->pending_source != reader) return {};
    return pending;
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
    // In another process there is no receiver: this process's copy of the serving thread did
    // not survive the fork.
    if (!state_ || state_->foreign() || state_->receiver_gone.load(std::memory_order_acquire)) {
        return fail(ChannelClosed{});
    }
    state_->requests.fetch_or(stop_requested, std::memory_order_release);
    signal_event(state_->wake);
    return ok_unit;
}

Predecessor StopSender::retire() noexcept {
    if (!state_ || state_->foreign()) return Predecessor();
    state_->requests.fetch_or(retire_requested, std::memory_order_release);
    signal_event(state_->wake);
    return Predecessor(state_);
}

void StopSender::disconnect() noexcept {
    if (!state_) return;
    if (!state_->foreign()) {
        state_->requests.fetch_or(sender_gone, std::memory_order_release);
        signal_event(state_->wake);
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
        drain_event(state_->wake);
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
    state_->pending = std::move(pending);
    state_->pending_source = source;
}

void StopReceiver::client_gone() noexcept {
    if (state_ && state_->client) state_->client->report(ClientOutcome::Disconnected);
}

void StopReceiver::client_lost() noexcept {
    if (state_) state_->client_lost = true;
}

const ClientWatch* StopReceiver::client_watch() const noexcept {
    return state_ ? state_->client.get() : nullptr;
}

void StopReceiver::close() noexcept {
    if (!state_) return;
    // The channel refuses sends before a waiting program hears how serving ended: a close() it
    // makes on that news must find the receiver gone.
    const unsigned requests = state_->requests.load(std::memory_order_acquire);
    state_->receiver_gone.store(true, std::memory_order_release);
    signal_event(state_->finished);
    if (const auto& client = state_->client) {
        // Ranked as in poll(): a stop outranks a retire. A retired thread reports nothing, the
        // thread that takes over carries the watch on; a stop or the sender's end is Stopped;
        // with nothing asked at all, only a fault can have ended the loop.
        const bool retired = (requests & retire_requested) != 0 && (requests & stop_requested) == 0;
        if (state_->client_lost) {
            client->report(ClientOutcome::Disconnected);
        } else if (!retired) {
            client->report(requests != 0 ? ClientOutcome::Stopped : ClientOutcome::Failed);
        }
        client->detach();
    }
    state_.reset();
}

Result<std::pair<StopSender, StopReceiver>, SystemError> make_stop_channel(
    std::shared_ptr<ClientWatch> client) {
    Fd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake.valid()) return fail(SystemError::from_errno(errno));
    Fd finished(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!finished.valid()) return fail(SystemError::from_errno(errno));
    if (client) client->attach();
    auto state =
        std::make_shared<StopChannelState>(std::move(wake), std::move(finished), std::move(client));
    return std::pair<StopSender, StopReceiver>(StopSender(state), StopReceiver(state));
}

}  // namespace velto::net
