// Listening, accepting, duplicating, sending and shutting down TCP sockets.
#include "net/socket.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "common/system_call.hpp"
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

// Waits one look interval for room to write (or an error to report), then looks at the client.
Status<SystemError> wait_for_room(const Fd& socket, const RetryAfterInterrupt& retry,
                                  WriteLiveness& liveness) {
    pollfd room{socket.get(), POLLOUT, 0};
    const int timeout = static_cast<int>(liveness.look_interval().count());
    auto ready = system_call([&] { return ::poll(&room, 1, timeout); },
                             [&] { return retry_after(retry); });
    if (!ready) return fail(std::move(ready).error());
    auto gone = liveness.look(socket, true);
    if (!gone) return fail(std::move(gone).error());
    if (gone.value()) return fail(SystemError::from_errno(ETIMEDOUT));
    return ok_unit;
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

Result<Fd, SystemError> accept_one(const Fd& listener, const RetryAfterInterrupt& retry,
                                   const ClientAdmission& admission) {
    for (;;) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        auto accepted = system_call(
            [&] {
                return ::accept4(listener.get(), reinterpret_cast<sockaddr*>(&peer), &length,
                                 SOCK_CLOEXEC);
            },
            [&] { return retry_after(retry); });
        if (!accepted) return fail(std::move(accepted).error());
        Fd client(accepted.value());
        if (admission.filter == nullptr || admission.filter->allows(peer)) return client;
        client.reset();
        if (admission.refused && !admission.refused(peer_text(peer))) {
            return fail(SystemError::from_errno(ECANCELED));
        }
    }
}

Result<Fd, SystemError> duplicate(const Fd& socket) {
    const int fd = ::fcntl(socket.get(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return fail(SystemError::from_errno(errno));
    return Fd(fd);
}

Status<SystemError> send_all(const Fd& socket, std::span<const std::uint8_t> bytes,
                             const RetryAfterInterrupt& retry, WriteLiveness* liveness) {
    const int flags = MSG_NOSIGNAL | (liveness != nullptr ? MSG_DONTWAIT : 0);
    const std::size_t written = bytes.size();
    while (!bytes.empty()) {
        auto sent = system_call(
            [&] { return ::send(socket.get(), bytes.data(), bytes.size(), flags); },
            [&] { return retry_after(retry); });
        if (!sent && liveness != nullptr &&
            (sent.error().code == EAGAIN || sent.error().code == EWOULDBLOCK)) {
            if (auto room = wait_for_room(socket, retry, *liveness); !room) return room;
            continue;
        }
        if (!sent) return fail(std::move(sent).error());
        if (sent.value() == 0) {
            return fail(SystemError::fixed("WriteZero", "failed to write whole buffer"));
        }
        bytes = bytes.subspan(static_cast<std::size_t>(sent.value()));
        // A signal that lands once some bytes went out cuts the send short instead of failing
        // it with EINTR; without this check the next send would block again, the signal unseen
        // until the peer reads or goes away.
        if (!bytes.empty() && !retry_after(retry)) return fail(SystemError::from_errno(EINTR));
    }
    // The last bytes may wait in the kernel behind a closed window.
    if (liveness != nullptr) return liveness->wrote(socket, written);
    return ok_unit;
}

std::optional<SocketIdentity> socket_identity(const Fd& socket) noexcept {
    struct stat status {};
    if (::fstat(socket.get(), &status) != 0) return std::nullopt;
    return SocketIdentity{status.st_dev, status.st_ino};
}

Status<SystemError> shutdown_both(const Fd& socket) {
    if (::shutdown(socket.get(), SHUT_RDWR) != 0) return fail(SystemError::from_errno(errno));
    return ok_unit;
}

}  // namespace velto::net
