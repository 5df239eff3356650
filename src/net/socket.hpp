// TCP operations the server needs: listen on an address text, accept one client, duplicate,
// send everything, shut down. Every wait can be interrupted by a signal: the caller decides
// through `RetryAfterInterrupt` whether to go on waiting.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

#include "common/result.hpp"
#include "net/fd.hpp"
#include "net/system_error.hpp"

namespace velto::net {

// Called when a blocking call returned EINTR. Returning true retries the call; returning false
// abandons it, and the operation fails with the EINTR error (`SystemError::interrupted()`).
// An empty function retries.
using RetryAfterInterrupt = std::function<bool()>;

// Creates a close-on-exec listening TCP socket with SO_REUSEADDR and a backlog of 128. The text
// is a socket address ("127.0.0.1:5000", "[::1]:5000") or host:port resolved by the system
// resolver, each resolved address tried in order. Errors of the text itself are fixed errors:
// "invalid socket address", "invalid port value", "failed to lookup address information: ...",
// "could not resolve to any addresses".
Result<Fd, SystemError> listen_on(std::string_view address);

// Waits for and accepts one connection (close-on-exec).
Result<Fd, SystemError> accept_one(const Fd& listener, const RetryAfterInterrupt& retry);

// A second close-on-exec descriptor on the same socket.
Result<Fd, SystemError> duplicate(const Fd& socket);

// Writes every byte (MSG_NOSIGNAL: a gone peer is an EPIPE error, never a signal). `retry` is
// asked after a short write as well as after EINTR, since a signal arriving once part of the
// bytes went out shows as a short count.
Status<SystemError> send_all(const Fd& socket, std::span<const std::uint8_t> bytes,
                             const RetryAfterInterrupt& retry);

// Shuts the connection down in both directions.
Status<SystemError> shutdown_both(const Fd& socket);

}  // namespace velto::net
