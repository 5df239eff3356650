// send_all after a short write: the caller is asked whether to go on, as after EINTR, since a
// signal that lands once part of the bytes went out shows as a short count, not as EINTR.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <chrono>

#include "net/socket.hpp"
#include "net_test_support.hpp"

namespace velto::net {
namespace {

using namespace std::chrono_literals;

// A send timeout ends a blocked send the way a signal does: with part of the bytes sent, the
// call returns their count. No signal is needed to get that shape.
void set_send_timeout(const Fd& socket, std::chrono::microseconds timeout) {
    const timeval value{0, static_cast<suseconds_t>(timeout.count())};
    ASSERT_EQ(::setsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value), 0);
}

TEST(SendAllShortWrite, AsksTheCallerAndStopsWhenToldTo) {
    testing::Loopback link = testing::connect_loopback();
    set_send_timeout(link.server, 50ms);
    // Far more than the buffers of a peer that never reads take.
    const testing::Bytes payload(32 * 1024 * 1024, 0x5a);
    int asked = 0;
    auto sent = send_all(link.server, payload, [&] {
        ++asked;
        return false;
    });
    ASSERT_FALSE(sent);
    EXPECT_EQ(sent.error().code, EINTR) << sent.error().display();
    EXPECT_EQ(asked, 1);
}

TEST(SendAllShortWrite, WithoutACallerToAskGoesOnUntilTheSendFails) {
    testing::Loopback link = testing::connect_loopback();
    set_send_timeout(link.server, 50ms);
    const testing::Bytes payload(32 * 1024 * 1024, 0x5a);
    // The short write is continued; the next send finds no room and times out.
    auto sent = send_all(link.server, payload, {});
    ASSERT_FALSE(sent);
    EXPECT_EQ(sent.error().code, EAGAIN) << sent.error().display();
}

}  // namespace
}  // namespace velto::net
