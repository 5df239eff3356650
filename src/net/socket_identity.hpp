// Which socket a descriptor refers to: duplicated descriptors of one socket share an identity,
// descriptors of two sockets never do (while both are open).
#pragma once

#include <sys/types.h>

#include <optional>

#include "net/fd.hpp"

namespace velto::net {

struct SocketIdentity {
    dev_t device = 0;
    ino_t inode = 0;

    bool operator==(const SocketIdentity&) const = default;
};

// nullopt when the descriptor cannot be examined (it is not open).
std::optional<SocketIdentity> socket_identity(const Fd& socket) noexcept;

}  // namespace velto::net
