// A move-only owner of one file descriptor; closing happens in its destructor.
#pragma once

#include <unistd.h>

#include <utility>

namespace velto::net {

class Fd {
  public:
    Fd() noexcept = default;
    explicit Fd(int fd) noexcept : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) reset(std::exchange(other.fd_, -1));
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    // Deliberately no conversion to bool or int: every use says what it wants.
    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    int release() noexcept { return std::exchange(fd_, -1); }
    void reset(int fd = -1) noexcept {
        const int previous = std::exchange(fd_, fd);
        // close() is not retried on EINTR: on Linux the descriptor is released whatever it
        // returns, and a retry could close a descriptor another thread just received.
        if (previous >= 0) ::close(previous);
    }

  private:
    int fd_ = -1;
};

}  // namespace velto::net
