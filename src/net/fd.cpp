// Closing the descriptor an Fd owns.
#include "net/fd.hpp"

#include <unistd.h>

namespace velto::net {

void Fd::reset(int fd) noexcept {
    const int previous = std::exchange(fd_, fd);
    // close() is not retried on EINTR: on Linux the descriptor is released whatever it
    // returns, and a retry could close a descriptor another thread just received.
    if (previous >= 0) ::close(previous);
}

}  // namespace velto::net
