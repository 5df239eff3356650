// Telling sockets apart by the inode their descriptors refer to.
#include "net/socket_identity.hpp"

#include <sys/stat.h>

namespace velto::net {

std::optional<SocketIdentity> socket_identity(const Fd& socket) noexcept {
    struct stat status {};
    if (::fstat(socket.get(), &status) != 0) return std::nullopt;
    return SocketIdentity{status.st_dev, status.st_ino};
}

}  // namespace velto::net
