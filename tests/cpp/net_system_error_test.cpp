// System error texts: the display form Python callers see and the structured form in faults.
#include <gtest/gtest.h>

#include <cerrno>

#include "net/system_error.hpp"

namespace velto::net {
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
    EXPECT_EQ(error.interrupted(), GetParam().code == EINTR);
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
    EXPECT_FALSE(error.interrupted());
}

}  // namespace
}  // namespace velto::net
