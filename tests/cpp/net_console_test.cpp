// Console lines: each one reaches file descriptor 1 whole, even from several threads at once;
// collected lines reach it only when written out, in the order they were collected.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "net/console.hpp"
#include "net/serving_lines.hpp"
#include "net_test_support.hpp"

namespace velto::net {
namespace {

TEST(ConsoleBuffer, LinesFromSeveralThreadsNeverInterleave) {
    testing::FdCapture out(STDOUT_FILENO);
    constexpr int threads = 4;
    constexpr int lines_each = 200;
    {
        std::vector<std::jthread> writers;
        for (int t = 0; t < threads; ++t) {
            writers.emplace_back([t] {
                const std::string line(300, static_cast<char>('a' + t));
                ConsoleBuffer console;
                for (int i = 0; i < lines_each; ++i) {
                    console.line(line);
                    console.flush();
                }
            });
        }
    }
    ASSERT_TRUE(out.wait_for(
        [](const std::string& text) { return text.size() >= threads * lines_each * 301u; }));
    const auto lines = out.lines();
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(threads * lines_each));
    for (const auto& line : lines) {
        ASSERT_EQ(line.size(), 300u);  // each line whole, with its newline
        EXPECT_EQ(std::set<char>(line.begin(), line.end()).size(), 1u) << line;
    }
}

TEST(ConsoleBuffer, CollectedLinesReachTheDescriptorOnlyWhenWrittenOut) {
    testing::FdCapture out(STDOUT_FILENO);
    ConsoleBuffer console;
    console.append("Found frame ! ").append_decimal(3).append("\n");
    console.line("running action");
    EXPECT_EQ(out.text(), "");
    console.flush();
    EXPECT_EQ(out.text(), "Found frame ! 3\nrunning action\n");
    console.flush();  // nothing collected: nothing written
    EXPECT_EQ(out.text(), "Found frame ! 3\nrunning action\n");
}

TEST(ServingLines, TheLinesBeforeAnActionNameEveryIdInDecimal) {
    testing::FdCapture out(STDOUT_FILENO);
    std::string expected;
    {
        ConsoleBuffer console;
        for (unsigned id = 0; id < 256; ++id) {
            wire::Frame frame;
            frame.id = static_cast<std::uint8_t>(id);
            serving_lines::before_action(console, frame);
            expected += "Found frame ! " + std::to_string(id) + "\nrunning action\n";
        }
    }
    ASSERT_TRUE(
        out.wait_for([&](const std::string& text) { return text.size() >= expected.size(); }));
    EXPECT_EQ(out.text(), expected);
}

// Every text of the serving thread, byte for byte.
struct ServingLineCase {
    const char* name;
    void (*write)(ConsoleBuffer&);
    std::string_view expected;
};

const wire::Frame joystick_frame{42, wire::Joystick{}};

const ServingLineCase serving_line_cases[] = {
    {"Received", [](ConsoleBuffer& c) { serving_lines::received(c, 1024); },
     "Received size : 1024\n"},
    {"NoAction", [](ConsoleBuffer& c) { serving_lines::no_action(c, joystick_frame); },
     "No key Joystick_42 found\n"},
    {"Found", [](ConsoleBuffer& c) { serving_lines::found(c, joystick_frame); },
     "Found frame ! 42\n"},
    {"BeforeAction", [](ConsoleBuffer& c) { serving_lines::before_action(c, joystick_frame); },
     "Found frame ! 42\nrunning action\n"},
    {"AfterAction", serving_lines::after_action, "after function\n"},
    {"Done", serving_lines::done, "done\n"},
    {"LinkBroken", serving_lines::link_broken, "Link broken\n"},
    {"Terminating", serving_lines::terminating, "Terminating.\n"},
};

class ServingLineText : public ::testing::TestWithParam<ServingLineCase> {};

TEST_P(ServingLineText, IsWrittenExactly) {
    testing::FdCapture out(STDOUT_FILENO);
    {
        ConsoleBuffer console;
        GetParam().write(console);
    }
    const std::string_view expected = GetParam().expected;
    ASSERT_TRUE(
        out.wait_for([&](const std::string& text) { return text.size() >= expected.size(); }));
    EXPECT_EQ(out.text(), expected);
}

INSTANTIATE_TEST_SUITE_P(Every, ServingLineText, ::testing::ValuesIn(serving_line_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ConsoleBuffer, DecimalsAreWrittenInFull) {
    testing::FdCapture out(STDOUT_FILENO);
    {
        ConsoleBuffer console;
        for (std::uint64_t value : {0ULL, 7ULL, 255ULL, 1024ULL, 18446744073709551615ULL}) {
            console.append_decimal(value).append(" ");
        }
    }  // written out when it goes
    EXPECT_EQ(out.text(), "0 7 255 1024 18446744073709551615 ");
}

// More than the buffer holds, in pieces of every size, one of them larger than the buffer: all
// of it arrives, in order, whatever had to be written out early.
TEST(ConsoleBuffer, OverflowKeepsTheOrder) {
    testing::FdCapture out(STDOUT_FILENO);
    std::string expected;
    {
        ConsoleBuffer console;
        for (std::size_t size : {1u, 100u, 4000u, 4096u, 9000u, 3u, 4095u, 17u}) {
            const std::string line(size, static_cast<char>('a' + expected.size() % 26));
            console.line(line);
            expected += line + "\n";
        }
    }
    ASSERT_TRUE(
        out.wait_for([&](const std::string& text) { return text.size() >= expected.size(); }));
    EXPECT_EQ(out.text(), expected);
}

}  // namespace
}  // namespace velto::net
