// The hand-over of one connection between serving threads: a retired thread's end, and the bytes
// it received but did not dispatch, for the thread that takes the connection over.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "common/result.hpp"
#include "common/system_error.hpp"
#include "net/event_fd.hpp"
#include "net/socket.hpp"

namespace velto::net {

// Written by the thread that gives the connection up, read by its successor only once that
// thread has ended: the end orders them, no lock is needed.
class Handover {
  public:
    static Result<std::shared_ptr<Handover>, SystemError> make();
    explicit Handover(EventFd ended) noexcept : ended_fd_(std::move(ended)) {}

    // Leaves the bytes received from the socket `source` identifies; before end() only.
    void leave(std::vector<std::uint8_t> pending, std::optional<SocketIdentity> source) noexcept;
    // The thread has ended (its stop receiver is gone). Once.
    void end() noexcept;

    bool ended() const noexcept { return ended_.load(std::memory_order_acquire); }
    // Readable once ended; a thread ends once, so it is never emptied.
    int ended_fd() const noexcept { return ended_fd_.get(); }
    // The bytes left, when they came from the socket `reader` identifies; none otherwise (an
    // open() in between accepted a new client, whose stream they would corrupt). Only once
    // ended() is true.
    std::vector<std::uint8_t> take_leftover(std::optional<SocketIdentity> reader);

  private:
    EventFd ended_fd_;
    std::atomic<bool> ended_{false};
    std::vector<std::uint8_t> pending_;
    std::optional<SocketIdentity> pending_source_;
};

// A retired serving thread, as seen by the thread that takes its connection over. The new
// thread reads nothing before the retired one has ended (so one frame is never split between
// two readers), and continues from the bytes the retired thread had received but not
// dispatched. An empty Predecessor means there is nobody to wait for.
class Predecessor {
  public:
    Predecessor() noexcept = default;
    explicit Predecessor(std::shared_ptr<Handover> handover) noexcept
        : handover_(std::move(handover)) {}

    bool exists() const noexcept { return handover_ != nullptr; }
    // Readable once the retired thread has let its receiver go; -1 when there is none.
    int finished_fd() const noexcept { return handover_ ? handover_->ended_fd() : -1; }
    bool finished() const noexcept { return !handover_ || handover_->ended(); }
    // See Handover::take_leftover; none when there is no predecessor or it has not ended.
    std::vector<std::uint8_t> take_leftover(std::optional<SocketIdentity> reader);

  private:
    std::shared_ptr<Handover> handover_;
};

}  // namespace velto::net
