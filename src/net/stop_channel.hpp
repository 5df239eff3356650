// The stop channel between a server object (one sender) and its serving thread (one receiver).
// It wakes the thread: the receiver's descriptor becomes readable on every signal, so a
// thread waiting in poll() beside its socket returns at once.
#pragma once

#include <memory>
#include <utility>

#include "common/result.hpp"
#include "net/system_error.hpp"

namespace velto::net {

struct ChannelClosed {
    static constexpr const char* text = "sending on a closed channel";
};

struct StopChannelState;

class StopSender {
  public:
    explicit StopSender(std::shared_ptr<StopChannelState> state) noexcept;
    StopSender(StopSender&&) noexcept = default;
    StopSender& operator=(StopSender&&) noexcept;
    ~StopSender();  // the receiver then sees the channel disconnected

    // Asks the thread to stop and shut its connection down. Fails once the receiver is gone.
    // Sending again while the first stop is still queued succeeds.
    Status<ChannelClosed> send();
    // Asks the thread to stop without shutting the connection down (a new thread takes the
    // same connection over). Never fails; a gone receiver makes it a no-op.
    void retire() noexcept;

  private:
    void disconnect() noexcept;
    std::shared_ptr<StopChannelState> state_;
};

class StopReceiver {
  public:
    enum class Signal {
        None,                // keep serving
        Stop,                // stop; shut the connection down
        StopKeepConnection,  // stop; leave the connection to its next reader
        Disconnected,        // the sender is gone
    };

    explicit StopReceiver(std::shared_ptr<StopChannelState> state) noexcept;
    StopReceiver(StopReceiver&&) noexcept = default;
    StopReceiver& operator=(StopReceiver&&) noexcept;
    ~StopReceiver();  // later sends fail with ChannelClosed

    // Never blocks.
    Signal poll() const noexcept;
    // Readable whenever poll() would not return None.
    int wake_fd() const noexcept;

  private:
    void close() noexcept;
    std::shared_ptr<StopChannelState> state_;
};

Result<std::pair<StopSender, StopReceiver>, SystemError> make_stop_channel();

}  // namespace velto::net
