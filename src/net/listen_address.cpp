// Parsing and resolving listen addresses.
#include "net/listen_address.hpp"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "common/decimal.hpp"
namespace velto::net {

namespace {

// A port: 0..65535.
std::optional<std::uint16_t> parse_port(std::string_view text) {
    return parse_decimal<std::uint16_t>(text);
}

// A numeric IPv6 scope id: any 32-bit unsigned number.
std::optional<std::uint32_t> parse_scope_id(std::string_view text) {
    return parse_decimal<std::uint32_t>(text);
}

// A copy of a socket address of `length` bytes (at most a sockaddr_storage).
ListenAddress listen_address_of(const void* address, socklen_t length) {
    ListenAddress result;
    std::memcpy(&result.storage, address, length);
    result.length = length;
    return result;
}

std::optional<ListenAddress> parse_ipv4(std::string_view host, std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (::inet_pton(AF_INET, std::string(host).c_str(), &address.sin_addr) != 1) {
        return std::nullopt;
    }
    return listen_address_of(&address, sizeof address);
}

// `host` is what stood between the brackets, possibly with a "%scope" suffix: a numeric scope
// id or an interface name.
std::optional<ListenAddress> parse_ipv6(std::string_view host, std::uint16_t port) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    const std::size_t percent = host.find('%');
    if (percent != std::string_view::npos) {
        const std::string scope(host.substr(percent + 1));
        if (scope.empty()) return std::nullopt;
        if (auto numeric = parse_scope_id(scope)) {
            address.sin6_scope_id = *numeric;
        } else {
            address.sin6_scope_id = ::if_nametoindex(scope.c_str());
            if (address.sin6_scope_id == 0) return std::nullopt;
        }
        host = host.substr(0, percent);
    }
    if (::inet_pton(AF_INET6, std::string(host).c_str(), &address.sin6_addr) != 1) {
        return std::nullopt;
    }
    return listen_address_of(&address, sizeof address);
}

std::optional<ListenAddress> parse_socket_address(std::string_view text) {
    if (text.find('\0') != std::string_view::npos) return std::nullopt;
    if (text.starts_with('[')) {
        const std::size_t close = text.find("]:");
        if (close == std::string_view::npos) return std::nullopt;
        auto port = parse_port(text.substr(close + 2));
        if (!port) return std::nullopt;
        return parse_ipv6(text.substr(1, close - 1), *port);
    }
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    auto port = parse_port(text.substr(colon + 1));
    if (!port) return std::nullopt;
    return parse_ipv4(text.substr(0, colon), *port);
}

// `system_code` is the errno that explains EAI_SYSTEM, which says no more than "System error"
// by itself.
SystemError lookup_failure(int gai_code, int system_code = 0) {
    if (gai_code == EAI_SYSTEM && system_code != 0) {
        SystemError error = SystemError::from_errno(system_code);
        error.message = "failed to lookup address information: " + error.message;
        return error;
    }
    return SystemError::fixed(
        "AddressLookup",
        std::string("failed to lookup address information: ") + ::gai_strerror(gai_code));
}

void set_port(ListenAddress& address, std::uint16_t port) {
    if (address.family() == AF_INET) {
        reinterpret_cast<sockaddr_in*>(&address.storage)->sin_port = htons(port);
    } else if (address.family() == AF_INET6) {
        reinterpret_cast<sockaddr_in6*>(&address.storage)->sin6_port = htons(port);
    }
}

Result<std::vector<ListenAddress>, SystemError> resolve_host(const std::string& host,
                                                             std::uint16_t port) {
    // The resolver reads C strings: a host with a NUL byte inside names nothing it could find.
    if (host.find('\0') != std::string::npos) return fail(lookup_failure(EAI_NONAME));

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int code = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (code != 0) return fail(lookup_failure(code, errno));
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(found, &::freeaddrinfo);

    std::vector<ListenAddress> addresses;
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET && entry->ai_family != AF_INET6) continue;
        if (entry->ai_addrlen > sizeof(sockaddr_storage)) continue;
        ListenAddress address = listen_address_of(entry->ai_addr, entry->ai_addrlen);
        set_port(address, port);
        addresses.push_back(address);
    }
    if (addresses.empty()) {
        return fail(SystemError::fixed("InvalidInput", "could not resolve to any addresses"));
    }
    return addresses;
}

}  // namespace

Result<std::vector<ListenAddress>, SystemError> resolve_listen_address(std::string_view text) {
    if (auto literal = parse_socket_address(text)) return std::vector<ListenAddress>{*literal};

    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) {
        return fail(SystemError::fixed("InvalidInput", "invalid socket address"));
    }
    auto port = parse_port(text.substr(colon + 1));
    if (!port) return fail(SystemError::fixed("InvalidInput", "invalid port value"));
    return resolve_host(std::string(text.substr(0, colon)), *port);
}

}  // namespace velto::net
