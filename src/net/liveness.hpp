// Noticing a client that vanished without closing its connection (Wi-Fi dropped, battery died)
// with TCP's own machinery: keepalive for a silent connection, the user timeout for answers
// nobody acknowledges. Nothing of this puts a byte of the protocol on the wire.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/result.hpp"
#include "common/system_error.hpp"
#include "net/fd.hpp"

namespace velto::net {

// The longest timeout the user timeout can carry (an int of milliseconds).
inline constexpr double longest_liveness_seconds = 2147483.0;

// Keepalive timings derived from a timeout, in the whole seconds the kernel counts them in: the
// first probe after a third of the timeout without traffic, then probes close enough together
// that the last one falls due about when the timeout ends.
struct KeepaliveTimings {
    int idle_seconds = 0;
    int interval_seconds = 0;
    int count = 0;
};
KeepaliveTimings keepalive_timings(std::chrono::milliseconds timeout) noexcept;

// Switches keepalive and the user timeout on for `timeout`, or both off (nullopt: a vanished
// client is never noticed, as with the kernel's defaults).
Status<SystemError> apply_liveness(const Fd& socket,
                                   std::optional<std::chrono::milliseconds> timeout);

// The writer's side of one connection with a timeout. The kernel applies the user timeout to a
// closed receive window too: a client that is there and answers every window probe, but does
// not read, would be dropped once its window stayed closed for the timeout. So while the
// client's window is closed and it answers, the user timeout is lifted; it is put back as soon
// as the window opens or the probes go unanswered.
class WriteLiveness {
  public:
    explicit WriteLiveness(std::chrono::milliseconds timeout) noexcept : timeout_(timeout) {}

    std::chrono::milliseconds timeout() const noexcept { return timeout_; }

    // How long a blocked write waits for room before it looks again.
    std::chrono::milliseconds look_interval() const noexcept;

    // After a write of `bytes`: looks at the connection (below) unless the client's window had
    // room for them when it was last looked at, as writes alone can only close it. So a client
    // that reads costs a look every window's worth of bytes, not one per write.
    Status<SystemError> wrote(const Fd& socket, std::size_t bytes);

    // Looks at the connection after a write, or while a write waits for room (`waiting`), and
    // sets the user timeout accordingly. Returns true, while a write waits, when the client is
    // gone: the kernel gave up on it, or it stopped answering the window probes for two looks in
    // a row (the kernel, its user timeout back, then ends the connection too). The waiting write
    // then ends with ETIMEDOUT.
    Result<bool, SystemError> look(const Fd& socket, bool waiting);

  private:
    Status<SystemError> set_user_timeout(const Fd& socket, bool lifted);

    std::chrono::milliseconds timeout_;
    bool lifted_ = false;
    int unanswered_looks_ = 0;
    // Bytes that can still be written without closing the client's window, as last looked at.
    std::uint64_t room_ = 0;
};

}  // namespace velto::net
