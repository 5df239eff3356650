// Listening, accepting, duplicating, sending and shutting down TCP sockets.
#include "net/socket.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "net/listen_address.hpp"

namespace velto::net {

namespace {

constexpr int listen_backlog = 128;

// EINTR is the caller's decision: an empty callback means "keep waiting".
bool retry_after(const RetryAfterInterrupt& retry) {
    return !retry || retry();
}

Result<Fd, SystemError> listen_at(const ListenAddress& address) {
    Fd socket(::socket(address.family(), SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket.valid()) return fail(SystemError::from_errno(errno));
    const int reuse = 1;
    if (::setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0 ||
        ::bind(socket.get(), address.get(), address.length) != 0 ||
        ::listen(socket.get(), listen_backlog) != 0) {
        return fail(SystemError::from_errno(errno));
    }
    return socket;
}

}  // namespace

Result<Fd, SystemError> listen_on(std::string_view address) {
    auto candidates = resolve_listen_address(address);
    if (!candidates) return fail(std::move(candidates).error());

    std::optional<SystemError> last;
    for (const ListenAddress& candidate : candidates.value()) {
        auto listener = listen_at(candidate);
        if (listener) return listener;
        last = std::move(listener).error();
    }
    // resolve_listen_address never yields an empty list, so at least one attempt failed.
    return fail(std::move(*last));
}

Result<Fd, SystemError> accept_one(const Fd& listener, const RetryAfterInterrupt& retry) {
    for (;;) {
        const int fd = ::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) return Fd(fd);
        const int code = errno;
        if (code == EINTR && retry_after(retry)) continue;
        return fail(SystemError::from_errno(code));
    }
}

Result<Fd, SystemError> duplicate(const Fd& socket) {
    const int fd = ::fcntl(socket.get(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return fail(SystemError::from_errno(errno));
    return Fd(fd);
}

Status<SystemError> send_all(const Fd& socket, std::span<const std::uint8_t> bytes,
                             const RetryAfterInterrupt& retry) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(socket.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            const int code = errno;
            if (code == EINTR && retry_after(retry)) continue;
            return fail(SystemError::from_errno(code));
        }
        if (sent == 0) {
            return fail(SystemError::fixed("WriteZero", "failed to write whole buffer"));
        }
        bytes = bytes.subspan(static_cast<std::size_t>(sent));
        // A signal that lands once some bytes went out cuts the send short instead of failing
        // it with EINTR; without this check the next send would block again, the signal unseen
        // until the peer reads or goes away.
        if (!bytes.empty() && retry && !retry()) return fail(SystemError::from_errno(EINTR));
    }
    return ok_unit;
}

Status<SystemError> shutdown_both(const Fd& socket) {
    if (::shutdown(socket.get(), SHUT_RDWR) != 0) return fail(SystemError::from_errno(errno));
    return ok_unit;
}

}  // namespace velto::net
