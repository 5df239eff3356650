// Listening, accepting, duplicating, sending and shutting down TCP sockets.
#include "net/socket.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <optional>

#include "common/system_call.hpp"
#include "net/listen_address.hpp"
#include "net/poll_until.hpp"

namespace velto::net {

namespace {

constexpr int listen_backlog = 128;

// EINTR is the caller's decision: an empty callback means "keep waiting".
bool retry_after(const RetryAfterInterrupt& retry) {
    return !retry || retry();
}

Result<Fd, SystemError> listen_at(const ListenAddress& address) {
    Fd socket(::socket(address.family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
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
// An interruption ends the wait with EINTR: the writer's own hook decides what follows.
Status<SystemError> wait_for_room(const Fd& socket, WriteLiveness& liveness) {
    std::array<pollfd, 1> room{pollfd{socket.get(), POLLOUT, 0}};
    auto ready = poll_until(room, std::chrono::steady_clock::now() + liveness.look_interval(),
                            [] { return false; });
    VELTO_CHECK(ready);
    VELTO_TRY(const bool gone, liveness.look(socket, true));
    if (gone) return fail(SystemError::from_errno(ETIMEDOUT));
    return ok_unit;
}

// One send that, finding no room, waits for it in steps instead of blocking in send(). As a
// system call: the count sent, or -1 with errno.
ssize_t send_watched(const Fd& socket, const char* data, std::size_t size,
                     WriteLiveness& liveness) {
    for (;;) {
        const ssize_t sent = ::send(socket.get(), data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return sent;
        if (auto room = wait_for_room(socket, liveness); !room) {
            errno = room.error().code != 0 ? room.error().code : EIO;
            return -1;
        }
    }
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

Result<std::optional<Fd>, SystemError> accept_ready(const Fd& listener,
                                                    const ClientAdmission& admission) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    // The accepted socket does not inherit the listener's O_NONBLOCK: it blocks as before.
    auto accepted = system_call([&] {
        return ::accept4(listener.get(), reinterpret_cast<sockaddr*>(&peer), &length,
                         SOCK_CLOEXEC);
    });
    if (!accepted) {
        const int code = accepted.error().code;
        if (code == EAGAIN || code == EWOULDBLOCK) return std::optional<Fd>();
        return fail(std::move(accepted).error());
    }
    Fd client(accepted.value());
    if (admission.filter == nullptr || admission.filter->allows(peer)) {
        return std::optional<Fd>(std::move(client));
    }
    client.reset();
    if (admission.refused && !admission.refused(peer_text(peer))) {
        return fail(SystemError::from_errno(ECANCELED));
    }
    return std::optional<Fd>();
}

Result<Fd, SystemError> accept_one(const Fd& listener, const RetryAfterInterrupt& retry,
                                   const ClientAdmission& admission) {
    for (;;) {
        pollfd ready{listener.get(), POLLIN, 0};
        auto polled = poll_until(std::span(&ready, 1), no_deadline,
                                 [&] { return retry_after(retry); });
        if (!polled) return fail(std::move(polled).error());
        auto accepted = accept_ready(listener, admission);
        if (!accepted) return fail(std::move(accepted).error());
        // Nothing after all: the client that made the listener readable gave up first, or was
        // refused.
        if (accepted.value()) return std::move(*accepted.value());
    }
}

Result<Fd, SystemError> duplicate(int descriptor) {
    const int fd = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return fail(SystemError::from_errno(errno));
    return Fd(fd);
}

Status<SystemError> send_all(const Fd& socket, std::span<const std::uint8_t> bytes,
                             const RetryAfterInterrupt& retry, WriteLiveness* liveness) {
    // Without the check after a short send, the next send would block again after a signal
    // that cut this one short, the signal unseen until the peer reads or goes away.
    auto sent = write_fully(
        reinterpret_cast<const char*>(bytes.data()), bytes.size(),
        [&](const char* data, std::size_t size) {
            if (liveness != nullptr) return send_watched(socket, data, size, *liveness);
            return ::send(socket.get(), data, size, MSG_NOSIGNAL);
        },
        [&] { return retry_after(retry); });
    if (!sent || liveness == nullptr) return sent;
    // The last bytes may wait in the kernel behind a closed window.
    return liveness->wrote(socket, bytes.size());
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
