// Keepalive and the user timeout of a connection, and keeping the user timeout away from a
// client that is there with its receive window closed.
#include "net/liveness.hpp"

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <span>
#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace velto::net {

namespace {

// The kernel's limits (MAX_TCP_KEEPIDLE, MAX_TCP_KEEPINTVL, MAX_TCP_KEEPCNT).
constexpr long longest_keepalive_seconds = 32767;
constexpr long most_keepalive_probes = 127;
// TCP_CLOSE of the kernel's states, which <linux/tcp.h> does not name (<netinet/tcp.h> does, but
// its tcp_info lacks the fields read here).
constexpr std::uint8_t tcp_state_closed = 7;

Status<SystemError> set_option(const Fd& socket, int level, int name, int value) {
    if (::setsockopt(socket.get(), level, name, &value, sizeof value) != 0) {
        return fail(SystemError::from_errno(errno));
    }
    return ok_unit;
}

int user_timeout_ms(std::chrono::milliseconds timeout) noexcept {
    using Rep = std::chrono::milliseconds::rep;
    const auto longest = static_cast<Rep>(longest_liveness_seconds) * 1000;
    return static_cast<int>(std::clamp<Rep>(timeout.count(), 1, longest));
}

// What the client's window still takes beyond the bytes in flight and waiting (bytes sent
// count retransmissions too, so this errs small); 0 from a kernel that does not tell.
std::uint64_t open_room(const tcp_info& info, socklen_t length) noexcept {
    if (length < offsetof(tcp_info, tcpi_snd_wnd) + sizeof info.tcpi_snd_wnd) return 0;
    const std::uint64_t in_flight = info.tcpi_bytes_sent > info.tcpi_bytes_acked
                                        ? info.tcpi_bytes_sent - info.tcpi_bytes_acked
                                        : 0;
    const std::uint64_t taken = in_flight + info.tcpi_notsent_bytes;
    return info.tcpi_snd_wnd > taken ? info.tcpi_snd_wnd - taken : 0;
}

}  // namespace

KeepaliveTimings keepalive_timings(std::chrono::milliseconds timeout) noexcept {
    const long total = std::max<long>(1, static_cast<long>((timeout.count() + 999) / 1000));
    const long idle = std::clamp<long>(total / 3, 1, longest_keepalive_seconds);
    const long rest = std::max<long>(total - idle, 1);
    const long interval = std::clamp<long>(rest / 4, 1, longest_keepalive_seconds);
    const long count = std::clamp<long>((rest + interval - 1) / interval, 1, most_keepalive_probes);
    return {static_cast<int>(idle), static_cast<int>(interval), static_cast<int>(count)};
}

Status<SystemError> apply_liveness(const Fd& socket,
                                   std::optional<std::chrono::milliseconds> timeout) {
    struct Option {
        int level;
        int name;
        int value;
    };
    const KeepaliveTimings timings = keepalive_timings(timeout.value_or(std::chrono::seconds(1)));
    // Keepalive goes on last and off first, so that no probe goes out with stale timings.
    const std::array<Option, 5> on{{
        {IPPROTO_TCP, TCP_KEEPIDLE, timings.idle_seconds},
        {IPPROTO_TCP, TCP_KEEPINTVL, timings.interval_seconds},
        {IPPROTO_TCP, TCP_KEEPCNT, timings.count},
        {IPPROTO_TCP, TCP_USER_TIMEOUT, timeout ? user_timeout_ms(*timeout) : 0},
        {SOL_SOCKET, SO_KEEPALIVE, 1},
    }};
    const std::array<Option, 2> off{{
        {SOL_SOCKET, SO_KEEPALIVE, 0},
        {IPPROTO_TCP, TCP_USER_TIMEOUT, 0},
    }};
    const std::span<const Option> options = timeout ? std::span<const Option>(on) : off;
    for (const Option& option : options) {
        VELTO_CHECK(set_option(socket, option.level, option.name, option.value));
    }
    return ok_unit;
}

std::chrono::milliseconds WriteLiveness::look_interval() const noexcept {
    // Often enough that the user timeout is lifted long before a closed window has lasted the
    // timeout, and a vanished client is noticed soon after.
    return std::clamp(timeout_ / 4, std::chrono::milliseconds(50), std::chrono::milliseconds(1000));
}

Status<SystemError> WriteLiveness::set_user_timeout(const Fd& socket, bool lifted) {
    if (lifted == lifted_) return ok_unit;
    auto set = set_option(socket, IPPROTO_TCP, TCP_USER_TIMEOUT,
                          lifted ? 0 : user_timeout_ms(timeout_));
    if (set) lifted_ = lifted;
    return set;
}

Status<SystemError> WriteLiveness::wrote(const Fd& socket, std::size_t bytes) {
    if (bytes < room_) {
        room_ -= bytes;
        return ok_unit;
    }
    VELTO_CHECK(look(socket, false));
    return ok_unit;
}

Result<bool, SystemError> WriteLiveness::look(const Fd& socket, bool waiting) {
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(socket.get(), IPPROTO_TCP, TCP_INFO, &info, &length) != 0) {
        return fail(SystemError::from_errno(errno));
    }
    // The kernel ended the connection after retransmissions or probes nobody answered: its
    // user timeout or keepalive gave up on the client. The write reports that as the timeout
    // it is without taking the connection's error, which is the serving thread's to receive.
    if (waiting && info.tcpi_state == tcp_state_closed &&
        (info.tcpi_retransmits > 0 || info.tcpi_probes > 0 || info.tcpi_backoff > 0)) {
        return true;
    }
    // A kernel too old to tell how much is waiting unsent: the user timeout stays as set.
    if (length < offsetof(tcp_info, tcpi_notsent_bytes) + sizeof info.tcpi_notsent_bytes) {
        return false;
    }
    // Bytes wait unsent although none are in flight: only a closed window holds them back, and
    // the kernel probes it.
    const bool window_closed = info.tcpi_notsent_bytes > 0 && info.tcpi_unacked == 0;
    room_ = 0;
    if (!window_closed) {
        room_ = open_room(info, length);
        unanswered_looks_ = 0;
        VELTO_CHECK(set_user_timeout(socket, false));
        return false;
    }
    // tcpi_probes counts the window probes sent since the client last answered. A client that
    // is there answers each within a round trip, but not always the first: it rate-limits its
    // answers to probes that fall outside its window. Two probes in a row unanswered, at two
    // looks in a row, is a client that is gone.
    if (info.tcpi_probes < 2) {
        unanswered_looks_ = 0;
        VELTO_CHECK(set_user_timeout(socket, true));
        return false;
    }
    // Only a waiting write looks often enough to tell; after a write the user timeout stays as
    // it is until one does.
    if (!waiting) return false;
    if (++unanswered_looks_ < 2) return false;
    VELTO_CHECK(set_user_timeout(socket, false));
    return true;
}

}  // namespace velto::net
