// No heap allocation per frame on the way from received bytes to an action's call: the stream
// cuts and decodes the frames, the action table finds each one's action and the console lines
// are collected and written, with every allocation of this process counted meanwhile.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "../wire_test_support.hpp"
#include "net/console.hpp"
#include "net/serving_lines.hpp"
#include "net/frame_stream.hpp"
#include "wire/action_table.hpp"

namespace {

std::atomic<std::size_t> allocations{0};

void* counted_allocation(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}

}  // namespace

// Every other form of new and delete ends in these.
void* operator new(std::size_t size) {
    return counted_allocation(size);
}
void* operator new[](std::size_t size) {
    return counted_allocation(size);
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete[](void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
    std::free(memory);
}

namespace velto::net {
namespace {

using wire::testing::Bytes;

// File descriptor 1 goes to /dev/null for the test's lifetime.
class ConsoleToNull {
  public:
    ConsoleToNull() : saved_(::dup(STDOUT_FILENO)) {
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        ::dup2(null, STDOUT_FILENO);
        ::close(null);
    }
    ~ConsoleToNull() {
        ::dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
    }

  private:
    int saved_;
};

TEST(NoAllocationPerFrame, FromReceivedBytesThroughDecodeLookupAndConsoleLines) {
    // Every accepted form of every kind, over and over, as one receive hands them over.
    Bytes received;
    std::size_t frames_per_receive = 0;
    for (int round = 0; round < 20; ++round) {
        for (const auto& valid : wire::testing::valid_frames()) {
            received.insert(received.end(), valid.bytes.begin(), valid.bytes.end());
            ++frames_per_receive;
        }
    }
    // An action for every kind under every even id: both roads of a dispatch are taken.
    wire::ActionTable<int> table;
    int action = 0;
    for (std::string_view kind : wire::widget_kind_names) {
        for (unsigned id = 0; id <= 255; id += 2) {
            ASSERT_TRUE(table.place(std::string(kind) + "_" + std::to_string(id), &action));
        }
    }
    const ConsoleToNull quiet;
    ConsoleBuffer console;
    FrameStream stream;
    std::size_t dispatched = 0;
    std::size_t found = 0;
    // What the serving loop and its dispatcher do with one receive's bytes.
    const auto serve_one_receive = [&] {
        stream.append(received);
        for (;;) {
            auto next = stream.next();
            ASSERT_TRUE(next);
            if (!next.value()) break;
            const wire::Frame& frame = *next.value();
            if (table.find(frame) == nullptr) {
                serving_lines::no_action(console, frame);
            } else {
                ++found;
                serving_lines::before_action(console, frame);
                console.flush();  // as before the action runs
                serving_lines::after_action(console);
            }
            serving_lines::done(console);
            ++dispatched;
        }
        console.flush();  // as before the loop waits
    };

    serve_one_receive();  // sizes the stream's buffer, which then keeps its capacity
    const std::size_t before = allocations.load();
    for (int receive = 0; receive < 10; ++receive) serve_one_receive();
    const std::size_t made = allocations.load() - before;

    EXPECT_EQ(made, 0u);
    EXPECT_EQ(dispatched, 11 * frames_per_receive);
    EXPECT_GT(found, 0u);
    EXPECT_LT(found, dispatched);
}

// The count is real: the same ways of working with a key text allocate.
TEST(NoAllocationPerFrame, TheCounterSeesAnAllocation) {
    const std::size_t before = allocations.load();
    const wire::Frame frame{200, wire::DirectionalButton{1}};
    EXPECT_EQ(frame.action_key(), "DirectionalButton_200");
    EXPECT_GT(allocations.load() - before, 0u);
}

}  // namespace
}  // namespace velto::net
