// The poll() timeout of a deadline.
#include "net/poll_until.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>

namespace velto::net {

int poll_timeout(SteadyTime deadline) noexcept {
    if (deadline == no_deadline) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, INT_MAX));
}

}  // namespace velto::net
