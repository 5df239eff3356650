// Console lines: each one reaches file descriptor 1 whole, even from several threads at once.
#include <gtest/gtest.h>
#include <unistd.h>

#include <set>
#include <thread>
#include <vector>

#include "net/console.hpp"
#include "net_test_support.hpp"

namespace velto::net {
namespace {

TEST(ConsoleLine, LinesFromSeveralThreadsNeverInterleave) {
    testing::FdCapture out(STDOUT_FILENO);
    constexpr int threads = 4;
    constexpr int lines_each = 200;
    {
        std::vector<std::jthread> writers;
        for (int t = 0; t < threads; ++t) {
            writers.emplace_back([t] {
                const std::string line(300, static_cast<char>('a' + t));
                for (int i = 0; i < lines_each; ++i) console_line(line);
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

}  // namespace
}  // namespace velto::net
