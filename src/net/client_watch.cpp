// The client watch: one outcome word set once, and an eventfd that a waiter polls.
#include "net/client_watch.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <span>
#include <utility>

#include "net/poll_until.hpp"

namespace velto::net {

Result<std::shared_ptr<ClientWatch>, SystemError> ClientWatch::make() {
    VELTO_TRY(EventFd ready, EventFd::make());
    return std::make_shared<ClientWatch>(std::move(ready));
}

ClientWatch::ClientWatch(EventFd ready) noexcept : ready_(std::move(ready)), owner_(::getpid()) {}

namespace {
// The watch of the serving thread running on this thread, if any.
thread_local const ClientWatch* watch_served_here = nullptr;
}  // namespace

ClientWatch::ServingHere::ServingHere(const ClientWatch* watch) noexcept
    : previous_(std::exchange(watch_served_here, watch)) {}

ClientWatch::ServingHere::~ServingHere() {
    watch_served_here = previous_;
}

bool ClientWatch::foreign() const noexcept {
    return ::getpid() != owner_;
}

void ClientWatch::report(ClientOutcome outcome) noexcept {
    if (foreign()) return;
    int serving = 0;
    const int kept = 1 + static_cast<int>(outcome);
    if (!outcome_.compare_exchange_strong(serving, kept, std::memory_order_acq_rel)) return;
    ready_.signal();
}

std::optional<ClientOutcome> ClientWatch::outcome() const noexcept {
    if (foreign()) return ClientOutcome::Failed;
    const int kept = outcome_.load(std::memory_order_acquire);
    if (kept == 0) return std::nullopt;
    return static_cast<ClientOutcome>(kept - 1);
}

void ClientWatch::attach() noexcept {
    attached_.fetch_add(1, std::memory_order_acq_rel);
}

void ClientWatch::detach() noexcept {
    if (attached_.fetch_sub(1, std::memory_order_acq_rel) == 1) report(ClientOutcome::Stopped);
}

Result<std::optional<ClientOutcome>, SystemError> ClientWatch::wait(
    std::optional<std::chrono::nanoseconds> timeout, const RetryAfterInterrupt& retry) const {
    if (!timeout && watch_served_here == this && !outcome())
        return fail(SystemError::from_errno(EDEADLK));
    const SteadyTime deadline = timeout ? std::chrono::steady_clock::now() + *timeout : no_deadline;
    for (;;) {
        if (auto kept = outcome()) return kept;
        pollfd ready{ready_.get(), POLLIN, 0};
        const auto polled =
            poll_until(std::span(&ready, 1), deadline, [&] { return !retry || retry(); });
        if (!polled) return fail(polled.error());
        // The deadline has passed; an outcome kept at its last moment still counts.
        if (polled.value() == 0) return outcome();
    }
}

}  // namespace velto::net
