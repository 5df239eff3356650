// The eventfd owner's three system calls.
#include "net/event_fd.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "common/system_call.hpp"

namespace velto::net {

Result<EventFd, SystemError> EventFd::make() {
    Fd fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!fd.valid()) return fail(SystemError::from_errno(errno));
    return EventFd(std::move(fd));
}

void EventFd::signal() const noexcept {
    const std::uint64_t one = 1;
    static_cast<void>(system_call([&] { return ::write(fd_.get(), &one, sizeof one); }));
}

void EventFd::drain() const noexcept {
    std::uint64_t count = 0;
    for (;;) {
        const auto got = system_call([&] { return ::read(fd_.get(), &count, sizeof count); });
        // One read empties an eventfd; the next one fails with EAGAIN (non-blocking).
        if (!got || got.value() == 0) return;
    }
}

}  // namespace velto::net
