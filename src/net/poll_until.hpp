// Waiting for descriptors with poll() up to a deadline, the time left measured again after
// every interruption.
#pragma once

#include <poll.h>

#include <chrono>
#include <span>

#include "common/result.hpp"
#include "common/system_call.hpp"
#include "common/system_error.hpp"

namespace velto::net {

using SteadyTime = std::chrono::steady_clock::time_point;

// No deadline: the wait ends only when a descriptor is ready.
inline constexpr SteadyTime no_deadline = SteadyTime::max();

// The poll() timeout that ends at `deadline`: -1 without one, 0 once it has passed.
int poll_timeout(SteadyTime deadline) noexcept;

// Waits until one of `fds` is ready (see their revents) or `deadline` passes: the count of
// ready descriptors, 0 once the deadline has passed. After EINTR, `after_interrupt` decides as
// for system_call: true waits again for the time left, false ends the wait with the EINTR error.
template <class AfterInterrupt = RetryInterrupted>
Result<int, SystemError> poll_until(std::span<pollfd> fds, SteadyTime deadline,
                                    AfterInterrupt&& after_interrupt = {}) {
    for (;;) {
        auto ready = system_call(
            [&] {
                return ::poll(fds.data(), static_cast<nfds_t>(fds.size()), poll_timeout(deadline));
            },
            after_interrupt);
        if (!ready || ready.value() > 0) return ready;
        // poll() may come back a little before a deadline it rounded down.
        if (deadline == no_deadline || std::chrono::steady_clock::now() >= deadline) return 0;
    }
}

}  // namespace velto::net
