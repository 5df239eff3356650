// ResultFrame::encode: the exact bytes of every header size, status and result payload.
#include <gtest/gtest.h>

#include <string>

#include "wire_test_support.hpp"

namespace velto::wire::testing {
namespace {

struct EncodeCase {
    std::string name;
    ResultFrame frame;
    Bytes bytes;
};

void PrintTo(const EncodeCase& c, std::ostream* out) {
    *out << c.name;
}

class EncodeTest : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeTest, ProducesExactBytes) {
    EXPECT_EQ(GetParam().frame.encode(), GetParam().bytes);
}

const Bytes kConfirmHead = hex("81 ad 43 6f 6e 66 69 72 6d 52 65 73 75 6c 74 91");
const Bytes kErrorHead = hex("81 ab 45 72 72 6f 72 52 65 73 75 6c 74 91");

ResultFrame confirm(std::uint8_t id, ServerStatus status, bool value) {
    return ResultFrame{id, status, ConfirmResult{value}};
}
ResultFrame error(std::uint8_t id, ServerStatus status, std::string text) {
    return ResultFrame{id, status, ErrorResult{std::move(text)}};
}

INSTANTIATE_TEST_SUITE_P(
    WorkedExamples, EncodeTest,
    ::testing::Values(
        EncodeCase{"idle_confirm_true", confirm(3, ServerStatus::Idle, true),
                   hex("93 03 a4 49 64 6c 65 81 ad 43 6f 6e 66 69 72 6d 52 65 73 75 6c 74 91 c3")},
        EncodeCase{"error_bad", error(200, ServerStatus::Error, "bad"),
                   hex("93 cc c8 a5 45 72 72 6f 72 81 ab 45 72 72 6f 72 52 65 73 75 6c 74 91 a3 "
                       "62 61 64")},
        EncodeCase{"busy_confirm_false", confirm(9, ServerStatus::Busy, false),
                   hex("93 09 a4 42 75 73 79 81 ad 43 6f 6e 66 69 72 6d 52 65 73 75 6c 74 91 c2")},
        EncodeCase{"not_init", confirm(0, ServerStatus::NotInit, true),
                   hex("93 00 a7 4e 6f 74 49 6e 69 74") + kConfirmHead + hex("c3")}),
    [](const auto& info) { return info.param.name; });

// The id is written in its shortest unsigned form.
INSTANTIATE_TEST_SUITE_P(
    Ids, EncodeTest,
    ::testing::Values(EncodeCase{"id_0", confirm(0, ServerStatus::Idle, true),
                                 hex("93 00 a4 49 64 6c 65") + kConfirmHead + hex("c3")},
                      EncodeCase{"id_127", confirm(127, ServerStatus::Idle, true),
                                 hex("93 7f a4 49 64 6c 65") + kConfirmHead + hex("c3")},
                      EncodeCase{"id_128", confirm(128, ServerStatus::Idle, true),
                                 hex("93 cc 80 a4 49 64 6c 65") + kConfirmHead + hex("c3")},
                      EncodeCase{"id_255", confirm(255, ServerStatus::Error, false),
                                 hex("93 cc ff a5 45 72 72 6f 72") + kConfirmHead + hex("c2")}),
    [](const auto& info) { return info.param.name; });

// The error text gets the shortest string header for its length in bytes.
INSTANTIATE_TEST_SUITE_P(
    ErrorText, EncodeTest,
    ::testing::Values(
        EncodeCase{"empty", error(1, ServerStatus::Idle, ""),
                   hex("93 01 a4 49 64 6c 65") + kErrorHead + hex("a0")},
        EncodeCase{"bytes_31", error(1, ServerStatus::Idle, std::string(31, 'x')),
                   hex("93 01 a4 49 64 6c 65") + kErrorHead + hex("bf") + Bytes(31, 'x')},
        EncodeCase{"bytes_32", error(1, ServerStatus::Idle, std::string(32, 'x')),
                   hex("93 01 a4 49 64 6c 65") + kErrorHead + hex("d9 20") + Bytes(32, 'x')},
        EncodeCase{"bytes_255", error(1, ServerStatus::Idle, std::string(255, 'x')),
                   hex("93 01 a4 49 64 6c 65") + kErrorHead + hex("d9 ff") + Bytes(255, 'x')},
        EncodeCase{"bytes_256", error(1, ServerStatus::Idle, std::string(256, 'x')),
                   hex("93 01 a4 49 64 6c 65") + kErrorHead + hex("da 01 00") + Bytes(256, 'x')},
        EncodeCase{"bytes_65535", error(1, ServerStatus::Idle, std::string(65535, 'x')),
                   hex("93 01 a4 49 64 6c 65") + kErrorHead + hex("da ff ff") + Bytes(65535, 'x')},
        EncodeCase{
            "bytes_65536", error(1, ServerStatus::Idle, std::string(65536, 'x')),
            hex("93 01 a4 49 64 6c 65") + kErrorHead + hex("db 00 01 00 00") + Bytes(65536, 'x')},
        EncodeCase{"utf8_measured_in_bytes", error(1, ServerStatus::Idle, "\xc3\xa9"),
                   hex("93 01 a4 49 64 6c 65") + kErrorHead + hex("a2 c3 a9")},
        EncodeCase{"embedded_nul_kept", error(1, ServerStatus::Idle, std::string("a\0b", 3)),
                   hex("93 01 a4 49 64 6c 65") + kErrorHead + hex("a3 61 00 62")}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace velto::wire::testing
