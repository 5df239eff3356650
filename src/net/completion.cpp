// The completion: one flag and an eventfd polled beside the stop channel's wake-up.
#include "net/completion.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <utility>

#include "common/fault.hpp"
#include "common/system_call.hpp"
#include "net/signal_mask.hpp"

namespace velto::net {

Result<std::shared_ptr<Completion>, SystemError> Completion::make() {
    Fd ready(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!ready.valid()) return fail(SystemError::from_errno(errno));
    return std::make_shared<Completion>(std::move(ready));
}

Completion::Completion(Fd ready) noexcept : ready_(std::move(ready)) {}

void Completion::complete() noexcept {
    if (completed_.exchange(true, std::memory_order_acq_rel)) return;
    const std::uint64_t one = 1;
    static_cast<void>(system_call([&] { return ::write(ready_.get(), &one, sizeof one); }));
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
        // With every signal blocked an EINTR is only a spurious wake-up.
        const auto ready = system_call(
            [&] { return ::poll(fds.data(), fds.size(), static_cast<int>(period.count())); });
        if (!ready) raise_fault("Failed to wait for the action: " + ready.error().display());
        // A wake-up that asked nothing is emptied, so that it does not wake the next poll.
        if (fds[1].revents != 0 && stop.requested() == Signal::None) {
            static_cast<void>(stop.poll());
        }
        if (ready.value() == 0 && !keep_waiting()) return Waited::GaveUp;
    }
}

}  // namespace velto::net
