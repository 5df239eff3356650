// Work that another thread finishes for the serving thread (an action's coroutine on the
// program's event loop), and the serving thread's wait for it, which a stop ends as well.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

#include "common/result.hpp"
#include "common/system_error.hpp"
#include "net/event_fd.hpp"
#include "net/stop_channel.hpp"

namespace velto::net {

class Completion {
  public:
    enum class Waited {
        Completed,  // complete() was called
        Stopped,    // the channel asked for a stop (close()): the work is not waited for
        GaveUp,     // `keep_waiting` said no (the thread doing the work has gone away)
    };

    static Result<std::shared_ptr<Completion>, SystemError> make();

    explicit Completion(EventFd ready) noexcept;

    // From any thread, any number of times; the first call completes.
    void complete() noexcept;

    // Waits until complete() or a stop, asking `keep_waiting` after each `period` without
    // either. A retire or the sender's disappearance does not end the wait: the work goes on as
    // a plain action would, and the serving loop looks at the request when it is over. Every
    // signal is blocked meanwhile (the wait is not the program's code).
    Waited wait(StopReceiver& stop, std::chrono::milliseconds period,
                const std::function<bool()>& keep_waiting) const;

  private:
    EventFd ready_;  // readable once complete() was called; never drained
    std::atomic<bool> completed_{false};
};

}  // namespace velto::net
