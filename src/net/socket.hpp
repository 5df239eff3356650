// TCP operations the server needs: listen on an address text, accept one client, duplicate,
// send everything, tell sockets apart, shut down. Every wait can be interrupted by a signal: the
// caller decides through `RetryAfterInterrupt` whether to go on waiting.
#pragma once

#include <sys/types.h>
#include <cstdint>

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "common/system_error.hpp"
#include "net/client_filter.hpp"
#include "net/fd.hpp"
#include "net/liveness.hpp"

namespace velto::net {

// Called when a blocking call returned EINTR. Returning true retries the call; returning false
// abandons it, and the operation fails with the EINTR error.
// An empty function retries.
using RetryAfterInterrupt = std::function<bool()>;

// Creates a close-on-exec, non-blocking listening TCP socket with SO_REUSEADDR and a backlog of
// 128 (non-blocking so that an event loop can wait for its client, see accept_ready). The text
// is a socket address ("127.0.0.1:5000", "[::1]:5000") or host:port resolved by the system
// resolver, each resolved address tried in order. Errors of the text itself are fixed errors:
// "invalid socket address", "invalid port value", "failed to lookup address information: ...",
// "could not resolve to any addresses".
Result<Fd, SystemError> listen_on(std::string_view address);

// Who may connect, and who hears of the others.
struct ClientAdmission {
    const ClientFilter* filter = nullptr;  // none: every client is let in
    // Told the address of each client refused, once its connection is closed. Returning false
    // abandons the wait, which then fails with ECANCELED. Empty: nobody is told.
    std::function<bool(const std::string& address)> refused;
};

// The accept step of every wait for a client: takes one connection the listener has ready
// (close-on-exec, blocking like any other), or nothing when none is waiting yet. A client the
// admission refuses is closed at once, before a byte of it is read, and counts as nothing.
Result<std::optional<Fd>, SystemError> accept_ready(const Fd& listener,
                                                    const ClientAdmission& admission = {});

// Waits for and accepts one admitted connection (close-on-exec): the listener's readiness,
// then accept_ready, until a client is let in.
Result<Fd, SystemError> accept_one(const Fd& listener, const RetryAfterInterrupt& retry,
                                   const ClientAdmission& admission = {});

// A second close-on-exec descriptor on the same socket (or eventfd).
Result<Fd, SystemError> duplicate(int descriptor);
inline Result<Fd, SystemError> duplicate(const Fd& socket) {
    return duplicate(socket.get());
}

// Writes every byte (MSG_NOSIGNAL: a gone peer is an EPIPE error, never a signal). `retry` is
// asked after a short write as well as after EINTR, since a signal arriving once part of the
// bytes went out shows as a short count. With `liveness`, a write that finds no room waits in
// steps and looks at the connection between them, and the user timeout follows the client's
// window (see WriteLiveness): the write still blocks for as long as a client that is there
// keeps its window closed, and fails with the kernel's error (ETIMEDOUT) once it has vanished.
Status<SystemError> send_all(const Fd& socket, std::span<const std::uint8_t> bytes,
                             const RetryAfterInterrupt& retry, WriteLiveness* liveness = nullptr);

// Which socket a descriptor refers to: duplicated descriptors of one socket share an identity,
// descriptors of two sockets never do (while both are open).
struct SocketIdentity {
    dev_t device = 0;
    ino_t inode = 0;

    bool operator==(const SocketIdentity&) const = default;
};

// nullopt when the descriptor cannot be examined (it is not open).
std::optional<SocketIdentity> socket_identity(const Fd& socket) noexcept;

// Shuts the connection down in both directions.
Status<SystemError> shutdown_both(const Fd& socket);

}  // namespace velto::net
