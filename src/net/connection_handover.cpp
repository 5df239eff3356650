// The connection hand-over: the leftover bytes, and the end that makes them readable.
#include "net/connection_handover.hpp"

#include <utility>

namespace velto::net {

Result<std::shared_ptr<Handover>, SystemError> Handover::make() {
    VELTO_TRY(EventFd ended, EventFd::make());
    return std::make_shared<Handover>(std::move(ended));
}

void Handover::leave(std::vector<std::uint8_t> pending,
                     std::optional<SocketIdentity> source) noexcept {
    pending_ = std::move(pending);
    pending_source_ = source;
}

void Handover::end() noexcept {
    ended_.store(true, std::memory_order_release);
    ended_fd_.signal();
}

std::vector<std::uint8_t> Handover::take_leftover(std::optional<SocketIdentity> reader) {
    if (!ended()) return {};
    std::vector<std::uint8_t> pending = std::move(pending_);
    // A source or reader that could not be identified counts as another socket: bytes dropped
    // lose one unfinished frame, bytes of another connection would corrupt every later one.
    if (!reader || pending_source_ != reader) return {};
    return pending;
}

std::vector<std::uint8_t> Predecessor::take_leftover(std::optional<SocketIdentity> reader) {
    if (!handover_) return {};
    return handover_->take_leftover(reader);
}

}  // namespace velto::net
