// Turning an address text into the socket addresses a listener may bind, in the order to try.
#pragma once

#include <sys/socket.h>

#include <string_view>
#include <vector>

#include "common/result.hpp"
#include "common/system_error.hpp"

namespace velto::net {

struct ListenAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;

    int family() const noexcept { return storage.ss_family; }
    const sockaddr* get() const noexcept { return reinterpret_cast<const sockaddr*>(&storage); }
};

// A literal socket address ("127.0.0.1:80", "[::1]:80", "[fe80::1%2]:80") gives itself; any
// other text is split at its last colon into a host, resolved by the system resolver, and a
// port. Never empty on success.
Result<std::vector<ListenAddress>, SystemError> resolve_listen_address(std::string_view text);

}  // namespace velto::net
