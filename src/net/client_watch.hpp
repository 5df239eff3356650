// What became of the client of one connection, as its serving threads saw it: shared between
// those threads and a program that waits to learn that its client has gone.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>

#include "common/result.hpp"
#include "common/system_error.hpp"
#include "net/event_fd.hpp"
#include "net/socket.hpp"

namespace velto::net {

enum class ClientOutcome {
    Disconnected,  // the client closed its side or reset the connection
    Stopped,       // the serving ended because the program asked (close(), a serve() elsewhere)
    Failed,        // the serving thread ended on a fault (an undecodable frame, a failed action)
};

// One per connection, not per serving thread: a thread retired by a second serve() on the same
// connection hands its watch to the thread that takes over, so a waiter follows the connection.
// The first outcome reported is kept; the watch never goes back to "still serving".
class ClientWatch {
  public:
    static Result<std::shared_ptr<ClientWatch>, SystemError> make();

    explicit ClientWatch(EventFd ready) noexcept;

    // Keeps `outcome` unless one was reported before. A no-op in a process other than the one
    // that made the watch: a child made by fork() shares the descriptor, not the threads.
    void report(ClientOutcome outcome) noexcept;
    // The outcome kept, if any. In another process the serving threads did not survive the
    // fork, so they count as Failed there, as after any other unexpected end.
    std::optional<ClientOutcome> outcome() const noexcept;

    // A serving thread (or a thread about to start) counts itself in before the thread it
    // takes over from is retired, and out when it ends. When the last one goes out without an
    // outcome, nobody serves the connection any more: the outcome is Stopped.
    void attach() noexcept;
    void detach() noexcept;

    // Marks the calling thread as a serving thread of `watch` while it lives (see wait()).
    class ServingHere {
      public:
        explicit ServingHere(const ClientWatch* watch) noexcept;
        ServingHere(const ServingHere&) = delete;
        ServingHere& operator=(const ServingHere&) = delete;
        ~ServingHere();

      private:
        const ClientWatch* previous_;
    };

    // Waits until an outcome is kept, or `timeout` passes (none: no limit); nullopt on timeout.
    // After an interrupted wait `retry` decides: false ends it with the EINTR error. A serving
    // thread of this watch (an action calling it) would wait for itself: without a timeout
    // that fails at once with EDEADLK.
    Result<std::optional<ClientOutcome>, SystemError> wait(
        std::optional<std::chrono::nanoseconds> timeout, const RetryAfterInterrupt& retry) const;

    // Readable once an outcome is kept, and from then on: for a wait in an event loop, which
    // polls its own duplicate.
    int ready_fd() const noexcept { return ready_.get(); }

  private:
    bool foreign() const noexcept;

    // Readable once an outcome is kept; never emptied, so every waiter, early or late, sees it.
    EventFd ready_;
    const pid_t owner_;
    // 0 while serving, else 1 + the ClientOutcome.
    std::atomic<int> outcome_{0};
    std::atomic<unsigned> attached_{0};
};

}  // namespace velto::net
