// The completion: one flag and an eventfd polled beside the stop channel's wake-up.
#include "net/completion.hpp"

#include <poll.h>

#include <array>
#include <utility>

#include "common/fault.hpp"
#include "net/poll_until.hpp"
#include "net/signal_mask.hpp"

namespace velto::net {

Result<std::shared_ptr<Completion>, SystemError> Completion::make() {
    auto ready = EventFd::make();
    if (!ready) return fail(std::move(ready).error());
    return std::make_shared<Completion>(std::move(ready).value());
}

Completion::Completion(EventFd ready) noexcept : ready_(std::move(ready)) {}

void Completion::complete() noexcept {
    if (!completed_.exchange(true, std::memory_order_acq_rel)) ready_.signal();
}

Completion::Waited Completion::wait(StopReceiver& stop, std::chrono::milliseconds period,
                                    const std::function<bool()>& keep_waiting) const {
    using Signal = StopReceiver::Signal;
    const auto blocked = ScopedSignalMask::block_all();
    for (;;) {
        if (completed_.load(std::memory_order_acquire)) return Waited::Completed;
        const Signal asked = stop.requested();
        if (asked == Signal::Stop) return Waited::Stopped;
        // Any other request keeps the wake-up readable: it is no longer watched.
        std::array<pollfd, 2> fds{pollfd{ready_.get(), POLLIN, 0},
                                  pollfd{asked == Signal::None ? stop.wake_fd() : -1, POLLIN, 0}};
        // With every signal blocked an EINTR is only a spurious wake-up: the wait goes on.
        const auto ready = poll_until(fds, std::chrono::steady_clock::now() + period);
        if (!ready) raise_fault("Failed to wait for the action: " + ready.error().display());
        // A wake-up that asked nothing is emptied, so that it does not wake the next poll.
        if (fds[1].revents != 0 && stop.requested() == Signal::None) {
            static_cast<void>(stop.poll());
        }
        if (ready.value() == 0 && !keep_waiting()) return Waited::GaveUp;
    }
}

}  // namespace velto::net
