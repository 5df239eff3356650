// System calls as values: the texts of their errors, the interruption rule and whole writes.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>

#include "common/system_call.hpp"
#include "common/system_error.hpp"

namespace velto {
namespace {

struct ErrnoCase {
    int code;
    std::string display;
    std::string structured;
};

class ErrnoText : public ::testing::TestWithParam<ErrnoCase> {};

TEST_P(ErrnoText, NamesTheNumberAndTheLibraryText) {
    const SystemError error = SystemError::from_errno(GetParam().code);
    EXPECT_EQ(error.code, GetParam().code);
    EXPECT_EQ(error.display(), GetParam().display);
    EXPECT_EQ(error.structured(), GetParam().structured);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, ErrnoText,
    ::testing::Values(ErrnoCase{EPIPE, "Broken pipe (os error 32)",
                                "[EPIPE, errno 32] Broken pipe"},
                      ErrnoCase{EADDRINUSE, "Address already in use (os error 98)",
                                "[EADDRINUSE, errno 98] Address already in use"},
                      ErrnoCase{EINTR, "Interrupted system call (os error 4)",
                                "[EINTR, errno 4] Interrupted system call"},
                      ErrnoCase{ENOTCONN, "Transport endpoint is not connected (os error 107)",
                                "[ENOTCONN, errno 107] Transport endpoint is not connected"},
                      ErrnoCase{4242, "Unknown error 4242 (os error 4242)",
                                "[Unknown, errno 4242] Unknown error 4242"}));

TEST(FixedError, ShowsItsMessageAloneAndItsKindWhenStructured) {
    const SystemError error = SystemError::fixed("InvalidInput", "invalid port value");
    EXPECT_EQ(error.code, 0);
    EXPECT_EQ(error.display(), "invalid port value");
    EXPECT_EQ(error.structured(), "[InvalidInput] invalid port value");
}

// A call that fails with EINTR `interruptions` times before it succeeds with 7.
struct InterruptedCall {
    int interruptions;
    int calls = 0;
    int operator()() {
        ++calls;
        if (calls <= interruptions) {
            errno = EINTR;
            return -1;
        }
        return 7;
    }
};

TEST(SystemCall, RunsAnInterruptedCallAgainByDefault) {
    InterruptedCall call{3};
    const auto outcome = system_call(std::ref(call));
    ASSERT_TRUE(outcome.ok());
    EXPECT_EQ(outcome.value(), 7);
    EXPECT_EQ(call.calls, 4);
}

TEST(SystemCall, AsksTheCallerAfterEachInterruptionAndStopsWhenToldTo) {
    InterruptedCall call{5};
    int asked = 0;
    const auto outcome = system_call(std::ref(call), [&] { return ++asked < 2; });
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().code, EINTR);
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(call.calls, 2);
}

TEST(SystemCall, OtherFailuresAreReturnedWithoutAsking) {
    bool asked = false;
    const auto outcome = system_call([] { return ::close(-1); }, [&] { return asked = true; });
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().kind, "EBADF");
    EXPECT_FALSE(asked);
}

TEST(WriteAll, PutsTheWholeTextOnTheDescriptor) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const std::string text(3000, 'x');
    EXPECT_TRUE(write_all(ends[1], text).ok());
    ::close(ends[1]);
    std::string read_back;
    char chunk[512];
    for (int reads = 0; reads < 100; ++reads) {
        const ssize_t got = ::read(ends[0], chunk, sizeof chunk);
        if (got <= 0) break;
        read_back.append(chunk, static_cast<std::size_t>(got));
    }
    ::close(ends[0]);
    EXPECT_EQ(read_back, text);
}

TEST(WriteAll, ReportsTheDescriptorsError) {
    const auto written = write_all(-1, "line\n");
    ASSERT_FALSE(written.ok());
    EXPECT_EQ(written.error().code, EBADF);
}

}  // namespace
}  // namespace velto
