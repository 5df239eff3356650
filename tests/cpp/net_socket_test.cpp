// Listening on address texts (IPv6 scope ids included), accepting, duplicating, sending
// everything and shutting down, over real loopback sockets.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <future>
#include <string>

#include "net/listen_address.hpp"
#include "net/socket.hpp"
#include "net_test_support.hpp"

namespace velto::net {
namespace {

using namespace std::chrono_literals;
using testing::Bytes;

bool close_on_exec(const Fd& fd) {
    return (::fcntl(fd.get(), F_GETFD) & FD_CLOEXEC) != 0;
}

sockaddr_storage local_address(const Fd& socket) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    ::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &length);
    return address;
}

std::uint16_t local_port(const Fd& socket) {
    const sockaddr_storage address = local_address(socket);
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    }
    return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

struct RejectCase {
    const char* address;
    const char* message;  // the whole message, or its start when it ends in ": "
};

class ListenOnRejects : public ::testing::TestWithParam<RejectCase> {};

TEST_P(ListenOnRejects, AnAddressTextThatNamesNoSocket) {
    auto listener = listen_on(GetParam().address);
    ASSERT_FALSE(listener);
    const SystemError& error = listener.error();
    EXPECT_EQ(error.code, 0);
    const std::string expected = GetParam().message;
    if (expected.ends_with(": ")) {
        EXPECT_TRUE(error.display().starts_with(expected)) << error.display();
        EXPECT_GT(error.display().size(), expected.size());
    } else {
        EXPECT_EQ(error.display(), expected);
    }
    EXPECT_NE(error.structured().find(error.display()), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ListenOnRejects,
    ::testing::Values(RejectCase{"nocolon", "invalid socket address"},
                      RejectCase{"", "invalid socket address"},
                      RejectCase{"127.0.0.1", "invalid socket address"},
                      RejectCase{"127.0.0.1:abc", "invalid port value"},
                      RejectCase{"127.0.0.1:65536", "invalid port value"},
                      RejectCase{"localhost:", "invalid port value"},
                      RejectCase{"localhost:-1", "invalid port value"},
                      RejectCase{"localhost:+80x", "invalid port value"},
                      RejectCase{"[::1]:port", "invalid port value"},
                      // Split at the last colon: the port of "::1" is "1", the host ":" fails.
                      RejectCase{"::1", "failed to lookup address information: "},
                      RejectCase{"bad..name:80", "failed to lookup address information: "},
                      RejectCase{"[::1]:80 ", "invalid port value"}));

struct BindCase {
    const char* address;
    int family;
};

class ListenOnBinds : public ::testing::TestWithParam<BindCase> {};

TEST_P(ListenOnBinds, ACloseOnExecReusableListener) {
    auto listener = listen_on(GetParam().address);
    if (!listener && GetParam().family == AF_INET6 &&
        (listener.error().code == EADDRNOTAVAIL || listener.error().code == EAFNOSUPPORT)) {
        GTEST_SKIP() << "no IPv6 loopback here: " << listener.error().display();
    }
    ASSERT_TRUE(listener) << listener.error().structured();
    EXPECT_EQ(local_address(listener.value()).ss_family, GetParam().family);
    EXPECT_NE(local_port(listener.value()), 0);
    EXPECT_TRUE(close_on_exec(listener.value()));
    int reuse = 0;
    socklen_t length = sizeof reuse;
    ::getsockopt(listener->get(), SOL_SOCKET, SO_REUSEADDR, &reuse, &length);
    EXPECT_EQ(reuse, 1);
    int listening = 0;
    length = sizeof listening;
    ::getsockopt(listener->get(), SOL_SOCKET, SO_ACCEPTCONN, &listening, &length);
    EXPECT_EQ(listening, 1);
}

INSTANTIATE_TEST_SUITE_P(Addresses, ListenOnBinds,
                         ::testing::Values(BindCase{"127.0.0.1:0", AF_INET},
                                           BindCase{"localhost:0", AF_INET},
                                           BindCase{"[::1]:0", AF_INET6}));

TEST(ListenOn, APortInUseFailsWithTheStructuredSystemError) {
    auto first = listen_on("127.0.0.1:0");
    ASSERT_TRUE(first);
    const std::string taken = "127.0.0.1:" + std::to_string(local_port(first.value()));
    auto second = listen_on(taken);
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().code, EADDRINUSE);
    EXPECT_EQ(second.error().display(), "Address already in use (os error 98)");
    EXPECT_EQ(second.error().structured(), "[EADDRINUSE, errno 98] Address already in use");
    // Through the resolver the same error comes from the last address tried.
    auto resolved = listen_on("localhost:" + std::to_string(local_port(first.value())));
    ASSERT_FALSE(resolved);
    EXPECT_EQ(resolved.error().code, EADDRINUSE);
}

TEST(Connection, AcceptSendAllAndShutdownThroughADuplicate) {
    testing::Loopback link = testing::connect_loopback();
    EXPECT_TRUE(close_on_exec(link.server));
    auto copy = duplicate(link.server);
    ASSERT_TRUE(copy) << copy.error().display();
    EXPECT_NE(copy->get(), link.server.get());
    EXPECT_TRUE(close_on_exec(copy.value()));

    // Far more than the socket buffers hold, so send_all has to continue partial sends while
    // the client reads.
    Bytes payload(4 * 1024 * 1024);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 7);
    auto received = std::async(std::launch::async, [&] {
        return testing::receive_exactly(link.client, payload.size(), 20s);
    });
    auto sent = send_all(link.server, payload, {});
    ASSERT_TRUE(sent) << sent.error().display();
    EXPECT_TRUE(received.get() == payload);

    // Shutting the duplicate down ends the stream for the peer although the first handle is
    // still open.
    ASSERT_TRUE(shutdown_both(copy.value()));
    EXPECT_TRUE(testing::wait_for_eof(link.client));
}

// A numeric scope id is any 32-bit number, an interface name is looked up.
struct ScopeCase {
    const char* name;
    const char* text;
    std::uint32_t scope;
};

class IPv6Scope : public ::testing::TestWithParam<ScopeCase> {};

TEST_P(IPv6Scope, IsTakenFromTheLiteral) {
    auto resolved = resolve_listen_address(GetParam().text);
    ASSERT_TRUE(resolved) << resolved.error().display();
    ASSERT_EQ(resolved.value().size(), 1u);
    ASSERT_EQ(resolved.value()[0].family(), AF_INET6);
    const auto* address = reinterpret_cast<const sockaddr_in6*>(resolved.value()[0].get());
    EXPECT_EQ(address->sin6_scope_id, GetParam().scope);
    EXPECT_EQ(ntohs(address->sin6_port), 80);
}

INSTANTIATE_TEST_SUITE_P(Literals, IPv6Scope,
                         ::testing::Values(ScopeCase{"Small", "[fe80::1%2]:80", 2},
                                           ScopeCase{"AbovePorts", "[fe80::1%65536]:80", 65536},
                                           ScopeCase{"Largest", "[fe80::1%4294967295]:80",
                                                     4294967295U}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(IPv6ScopeName, IsTheInterfacesIndex) {
    auto resolved = resolve_listen_address("[fe80::1%lo]:80");
    ASSERT_TRUE(resolved) << resolved.error().display();
    const auto* address = reinterpret_cast<const sockaddr_in6*>(resolved.value()[0].get());
    EXPECT_EQ(address->sin6_scope_id, ::if_nametoindex("lo"));
}

}  // namespace
}  // namespace velto::net
