// Allowed client entries (parsing, normalizing, refusing) and matching peers against them, and
// the keepalive timings and options a liveness timeout puts on a real connection.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <string>

#include "net/client_filter.hpp"
#include "net/liveness.hpp"
#include "net_test_support.hpp"

namespace velto::net {
namespace {

using namespace std::chrono_literals;

struct EntryCase {
    const char* text;
    const char* written;  // the normalized entry, or the start of the refusal's text
    bool accepted;
};

class ClientEntries : public ::testing::TestWithParam<EntryCase> {};

TEST_P(ClientEntries, AreWrittenAsTheSystemWritesThemOrRefusedByName) {
    const EntryCase& entry = GetParam();
    auto parsed = ClientNetwork::parse(entry.text);
    ASSERT_EQ(parsed.ok(), entry.accepted);
    if (entry.accepted) {
        EXPECT_EQ(parsed.value().text(), entry.written);
    } else {
        EXPECT_EQ(parsed.error(), entry.written);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ClientEntries,
    ::testing::Values(
        EntryCase{"192.168.1.20", "192.168.1.20", true},
        EntryCase{"192.168.1.0/24", "192.168.1.0/24", true},
        EntryCase{"0.0.0.0/0", "0.0.0.0/0", true},
        EntryCase{"10.1.2.3/32", "10.1.2.3", true},
        EntryCase{"FD00::/8", "fd00::/8", true},
        EntryCase{"fe80:0:0::1", "fe80::1", true},
        EntryCase{"::ffff:10.0.0.0/104", "10.0.0.0/8", true},
        EntryCase{"::ffff:127.0.0.2", "127.0.0.2", true},
        EntryCase{"192.168.1.5/24", "'192.168.1.5/24' has host bits set: the network is "
                                    "'192.168.1.0/24'", false},
        EntryCase{"fd00::1/8", "'fd00::1/8' has host bits set: the network is 'fd00::/8'", false},
        EntryCase{"10.0.0.0/33", "'10.0.0.0/33' has no prefix length from 0 to 32 after its '/'",
                  false},
        EntryCase{"10.0.0.0/", "'10.0.0.0/' has no prefix length from 0 to 32 after its '/'",
                  false},
        EntryCase{"10.0.0.0/-1", "'10.0.0.0/-1' has no prefix length from 0 to 32 after its '/'",
                  false},
        EntryCase{"::/1290", "'::/1290' has no prefix length from 0 to 128 after its '/'", false},
        EntryCase{"", "'' is not an IPv4 or IPv6 address or network", false},
        EntryCase{"phone.local", "'phone.local' is not an IPv4 or IPv6 address or network", false},
        EntryCase{"10.0.0.1 ", "'10.0.0.1 ' is not an IPv4 or IPv6 address or network", false},
        EntryCase{"[::1]", "'[::1]' is not an IPv4 or IPv6 address or network", false}));

sockaddr_storage peer(const char* text) {
    sockaddr_storage address{};
    if (std::strchr(text, ':') != nullptr) {
        auto& ipv6 = reinterpret_cast<sockaddr_in6&>(address);
        ipv6.sin6_family = AF_INET6;
        ::inet_pton(AF_INET6, text, &ipv6.sin6_addr);
    } else {
        auto& ipv4 = reinterpret_cast<sockaddr_in&>(address);
        ipv4.sin_family = AF_INET;
        ::inet_pton(AF_INET, text, &ipv4.sin_addr);
    }
    return address;
}

struct PeerCase {
    const char* entry;
    const char* peer;
    bool allowed;
};

class ClientPeers : public ::testing::TestWithParam<PeerCase> {};

TEST_P(ClientPeers, AreLetInByTheEntriesThatContainThem) {
    const PeerCase& row = GetParam();
    std::vector<ClientNetwork> entries;
    entries.push_back(ClientNetwork::parse(row.entry).value());
    EXPECT_EQ(ClientFilter(std::move(entries)).allows(peer(row.peer)), row.allowed)
        << row.entry << " / " << row.peer;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ClientPeers,
    ::testing::Values(PeerCase{"192.168.1.20", "192.168.1.20", true},
                      PeerCase{"192.168.1.20", "192.168.1.21", false},
                      PeerCase{"192.168.1.0/24", "192.168.1.255", true},
                      PeerCase{"192.168.1.0/24", "192.168.2.1", false},
                      PeerCase{"192.168.0.0/23", "192.168.1.7", true},
                      PeerCase{"0.0.0.0/0", "8.8.8.8", true},
                      PeerCase{"fd00::/8", "fd12:3456::1", true},
                      PeerCase{"fd00::/8", "fe80::1", false},
                      PeerCase{"fd00::/9", "fd80::1", false},
                      // A dual-stack listener's IPv4 client, and an IPv4 entry for an IPv6 peer
                      PeerCase{"127.0.0.0/8", "::ffff:127.0.0.2", true},
                      PeerCase{"127.0.0.2", "::ffff:127.0.0.3", false},
                      PeerCase{"::/0", "::ffff:127.0.0.2", false},
                      PeerCase{"127.0.0.1", "::1", false}));

TEST(ClientPeers, AreWrittenAsTheAddressTheyAre) {
    EXPECT_EQ(peer_text(peer("::ffff:192.168.1.20")), "192.168.1.20");
    EXPECT_EQ(peer_text(peer("fd00:0::1")), "fd00::1");
    EXPECT_EQ(peer_text(peer("10.0.0.1")), "10.0.0.1");
}

// The keepalive alone (with the user timeout lifted) gives up about when the timeout ends, and
// every timing stays within what the kernel takes.
TEST(Liveness, KeepaliveEndsAboutWithTheTimeout) {
    using std::chrono::milliseconds;
    const milliseconds timeouts[] = {1ms, 500ms, 2s, 5s, 15s, 61s, 3600s, std::chrono::hours(576)};
    for (const milliseconds timeout : timeouts) {
        const KeepaliveTimings timings = keepalive_timings(timeout);
        const auto total = std::chrono::seconds(timings.idle_seconds +
                                                timings.interval_seconds * timings.count);
        EXPECT_GE(total, std::max<std::chrono::milliseconds>(timeout, 1s)) << timeout.count();
        EXPECT_LE(total, std::max<std::chrono::milliseconds>(timeout, 1s) +
                             std::chrono::seconds(timings.interval_seconds) + 1s)
            << timeout.count();
        EXPECT_TRUE(timings.idle_seconds >= 1 && timings.idle_seconds <= 32767);
        EXPECT_TRUE(timings.interval_seconds >= 1 && timings.interval_seconds <= 32767);
        EXPECT_TRUE(timings.count >= 1 && timings.count <= 127);
    }
}

int option(const Fd& socket, int level, int name) {
    int value = -1;
    socklen_t length = sizeof value;
    ::getsockopt(socket.get(), level, name, &value, &length);
    return value;
}

TEST(Liveness, IsPutOnTheConnectionAndTakenOffAgain) {
    const testing::Loopback pair = testing::connect_loopback();
    ASSERT_TRUE(apply_liveness(pair.server, 15s));
    EXPECT_EQ(option(pair.server, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(option(pair.server, IPPROTO_TCP, TCP_USER_TIMEOUT), 15000);
    EXPECT_EQ(option(pair.server, IPPROTO_TCP, TCP_KEEPIDLE), 5);
    ASSERT_TRUE(apply_liveness(pair.server, std::nullopt));
    EXPECT_EQ(option(pair.server, SOL_SOCKET, SO_KEEPALIVE), 0);
    EXPECT_EQ(option(pair.server, IPPROTO_TCP, TCP_USER_TIMEOUT), 0);
}

}  // namespace
}  // namespace velto::net
