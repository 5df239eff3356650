// The client watch: one outcome word set once, and an eventfd that a waiter polls.
#include "net/client_watch.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <utility>

#include "common/system_call.hpp"

namespace velto::net {

Result<std::shared_ptr<ClientWatch>, SystemError> ClientWatch::make() {
    Fd ready(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!ready.valid()) return fail(SystemError::from_errno(errno));
    return std::make_shared<ClientWatch>(std::move(ready));
}

ClientWatch::ClientWatch(Fd ready) noexcept : ready_(std::move(ready)), owner_(::getpid()) {}

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
    const std::uint64_t one = 1;
    static_cast<void>(system_call([&] { return ::write(ready_.get(), &one, sizeof one); }));
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
    using Clock = std::chrono::steady_clock;
    if (!timeout && watch_served_here == this && !outcome())
        return fail(SystemError::from_errno(EDEADLK));
    // A plain time point and a flag rather than an optional one: g++ 12 sees the optional's
    // value as maybe uninitialized under ThreadSanitizer's optimisation.
    const bool bounded = timeout.has_value();
    const Clock::time_point deadline = bounded ? Clock::now() + *timeout : Clock::time_point::max();
    for (;;) {
        if (auto kept = outcome()) return kept;
        int wait_ms = -1;
        if (bounded) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return std::optional<ClientOutcome>();
            wait_ms = static_cast<int>(std::min<std::int64_t>(left.count(), INT_MAX));
        }
        pollfd ready{ready_.get(), POLLIN, 0};
        // An interruption comes back here rather than into poll() with the old timeout, so the
        // time left is measured again after the signal handlers ran.
        bool go_on = false;
        const auto polled = system_call([&] { return ::poll(&ready, 1, wait_ms); },
                                        [&] {
                                            go_on = retry();
                                            return false;
                                        });
        if (!polled && !(polled.error().code == EINTR && go_on)) return fail(polled.error());
    }
}

}  // namespace velto::net
