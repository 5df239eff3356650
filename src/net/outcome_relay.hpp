// What a serving thread tells its connection's ClientWatch: the client's leave when it shows,
// and at the thread's end why serving ended.
#pragma once

#include <memory>

#include "net/client_watch.hpp"

namespace velto::net {

class OutcomeRelay {
  public:
    // How a thread's serving ended.
    enum class End {
        Stopped,  // the program asked (close(), or the server object went away)
        Retired,  // another thread takes the connection over and carries the watch on
        Failed,   // nothing was asked: only a fault can have ended it
        Lost,     // the client reset the connection or stopped answering
    };

    // Without a watch every call is a no-op. With one, the thread counts itself in at once:
    // before serve() retires the thread that served the connection until now.
    explicit OutcomeRelay(std::shared_ptr<ClientWatch> watch) noexcept;
    OutcomeRelay(OutcomeRelay&&) noexcept = default;
    OutcomeRelay& operator=(OutcomeRelay&&) noexcept = default;

    // The client closed its side (said on every zero-length read; the watch keeps the first
    // word it gets).
    void client_gone() const noexcept;
    // Tells the watch how serving ended (a retired thread tells nothing) and counts the thread
    // out. Once.
    void serving_ended(End end) noexcept;

    const ClientWatch* watch() const noexcept { return watch_.get(); }

  private:
    std::shared_ptr<ClientWatch> watch_;
};

}  // namespace velto::net
