// An eventfd owner: a descriptor that a thread waiting in poll() sees readable once it is
// signalled. Non-blocking and close-on-exec.
#pragma once

#include "common/result.hpp"
#include "common/system_error.hpp"
#include "net/fd.hpp"

namespace velto::net {

class EventFd {
  public:
    static Result<EventFd, SystemError> make();

    EventFd(EventFd&&) noexcept = default;
    EventFd& operator=(EventFd&&) noexcept = default;

    // Makes the descriptor readable until it is drained. A counter at its maximum is readable
    // already, so a failed write loses nothing.
    void signal() const noexcept;
    // Empties the counter: the descriptor is no longer readable until the next signal.
    void drain() const noexcept;

    int get() const noexcept { return fd_.get(); }

  private:
    explicit EventFd(Fd fd) noexcept : fd_(std::move(fd)) {}
    Fd fd_;
};

}  // namespace velto::net
