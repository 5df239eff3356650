// Parsing allowed client addresses and networks, and matching peers against them.
#include "net/client_filter.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>

namespace velto::net {

namespace {

constexpr std::array<std::uint8_t, 12> mapped_prefix{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

unsigned address_bits(int family) noexcept {
    return family == AF_INET ? 32 : 128;
}

std::string quoted(std::string_view text) {
    return "'" + std::string(text) + "'";
}

// Keeps the first `prefix` bits of `address` and clears the rest.
std::array<std::uint8_t, 16> masked(const std::array<std::uint8_t, 16>& address, unsigned prefix) {
    std::array<std::uint8_t, 16> kept{};
    for (unsigned byte = 0; byte < kept.size(); ++byte) {
        const unsigned start = byte * 8;
        if (prefix >= start + 8) {
            kept[byte] = address[byte];
        } else if (prefix > start) {
            const unsigned cleared = 8 - (prefix - start);
            kept[byte] = static_cast<std::uint8_t>(address[byte] & (0xff << cleared));
        }
    }
    return kept;
}

std::string address_text(int family, const std::uint8_t* address) {
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(family, address, text, sizeof text);
    return text;
}

bool is_mapped(const std::uint8_t* address) noexcept {
    return std::memcmp(address, mapped_prefix.data(), mapped_prefix.size()) == 0;
}

}  // namespace

Result<ClientNetwork, std::string> ClientNetwork::parse(std::string_view text) {
    const std::size_t slash = text.find('/');
    const std::string address(text.substr(0, slash));
    ClientNetwork network;
    if (address.find('\0') != std::string::npos) {
        return fail(quoted(text) + " is not an IPv4 or IPv6 address or network");
    }
    if (::inet_pton(AF_INET, address.c_str(), network.address_.data()) == 1) {
        network.family_ = AF_INET;
    } else if (::inet_pton(AF_INET6, address.c_str(), network.address_.data()) == 1) {
        network.family_ = AF_INET6;
    } else {
        return fail(quoted(text) + " is not an IPv4 or IPv6 address or network");
    }
    network.prefix_ = address_bits(network.family_);
    if (slash != std::string_view::npos) {
        const std::string_view digits = text.substr(slash + 1);
        const bool decimal = !digits.empty() && digits.size() <= 3 &&
                             std::all_of(digits.begin(), digits.end(),
                                         [](char c) { return c >= '0' && c <= '9'; });
        unsigned prefix = 0;
        for (char c : digits) prefix = prefix * 10 + static_cast<unsigned>(c - '0');
        if (!decimal || prefix > network.prefix_) {
            return fail(quoted(text) + " has no prefix length from 0 to " +
                        std::to_string(network.prefix_) + " after its '/'");
        }
        network.prefix_ = prefix;
        const auto kept = masked(network.address_, prefix);
        if (kept != network.address_) {
            return fail(quoted(text) + " has host bits set: the network is " +
                        quoted(address_text(network.family_, kept.data()) + "/" +
                               std::to_string(prefix)));
        }
    }
    // An IPv4 network written in its IPv4-mapped IPv6 form is that IPv4 network.
    if (network.family_ == AF_INET6 && network.prefix_ >= 96 &&
        is_mapped(network.address_.data())) {
        std::array<std::uint8_t, 16> ipv4{};
        std::copy_n(network.address_.begin() + 12, 4, ipv4.begin());
        network.address_ = ipv4;
        network.family_ = AF_INET;
        network.prefix_ -= 96;
    }
    return network;
}

std::string ClientNetwork::text() const {
    std::string written = address_text(family_, address_.data());
    if (prefix_ != address_bits(family_)) written += "/" + std::to_string(prefix_);
    return written;
}

bool ClientNetwork::contains(int family, const std::uint8_t* address) const noexcept {
    if (family != family_) return false;
    std::array<std::uint8_t, 16> peer{};
    std::copy_n(address, address_bits(family) / 8, peer.begin());
    return masked(peer, prefix_) == address_;
}

namespace {

// The peer as (family, address bytes), an IPv4-mapped IPv6 address unwrapped.
std::pair<int, const std::uint8_t*> peer_address(const sockaddr_storage& peer) noexcept {
    if (peer.ss_family == AF_INET) {
        const auto& ipv4 = reinterpret_cast<const sockaddr_in&>(peer);
        return {AF_INET, reinterpret_cast<const std::uint8_t*>(&ipv4.sin_addr)};
    }
    const auto& ipv6 = reinterpret_cast<const sockaddr_in6&>(peer);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&ipv6.sin6_addr);
    if (is_mapped(bytes)) return {AF_INET, bytes + 12};
    return {AF_INET6, bytes};
}

}  // namespace

bool ClientFilter::allows(const sockaddr_storage& peer) const noexcept {
    if (peer.ss_family != AF_INET && peer.ss_family != AF_INET6) return false;
    const auto [family, address] = peer_address(peer);
    return std::any_of(allowed_.begin(), allowed_.end(), [&](const ClientNetwork& network) {
        return network.contains(family, address);
    });
}

std::string peer_text(const sockaddr_storage& peer) {
    if (peer.ss_family != AF_INET && peer.ss_family != AF_INET6) return "an unknown address";
    const auto [family, address] = peer_address(peer);
    return address_text(family, address);
}

}  // namespace velto::net
