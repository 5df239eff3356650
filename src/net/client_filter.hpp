// Which clients may connect: a list of IPv4 and IPv6 addresses and networks, and the test of a
// peer address against it.
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"

namespace velto::net {

// One address ("192.168.1.20", "fd00::1") or network ("192.168.1.0/24", "fd00::/8").
class ClientNetwork {
  public:
    // Fails with a text that names `text` and what is wrong with it. A network whose address
    // has bits set beyond its prefix ("192.168.1.5/24") is refused rather than quietly widened:
    // it names the network it would be.
    static Result<ClientNetwork, std::string> parse(std::string_view text);

    // The entry as the system writes it: an address alone, or "<network address>/<prefix>"
    // ("fd00::/8", "10.0.0.0/8"); an IPv4-mapped IPv6 entry is written as its IPv4 form.
    std::string text() const;

    bool contains(int family, const std::uint8_t* address) const noexcept;

  private:
    int family_ = AF_INET;
    std::array<std::uint8_t, 16> address_{};
    unsigned prefix_ = 0;
};

// The allowed clients: a peer is let in when any entry contains its address. An IPv4-mapped
// IPv6 peer (a dual-stack listener's IPv4 client) is matched as the IPv4 address it is.
class ClientFilter {
  public:
    explicit ClientFilter(std::vector<ClientNetwork> allowed) noexcept
        : allowed_(std::move(allowed)) {}

    bool allows(const sockaddr_storage& peer) const noexcept;
    const std::vector<ClientNetwork>& allowed() const noexcept { return allowed_; }

  private:
    std::vector<ClientNetwork> allowed_;
};

// The peer's address as text ("192.168.1.20", "fd00::1"; an IPv4-mapped IPv6 address as IPv4).
std::string peer_text(const sockaddr_storage& peer);

}  // namespace velto::net
