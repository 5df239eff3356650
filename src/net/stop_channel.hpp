// The stop channel between a server object (one sender) and its serving thread (one receiver):
// the stop requests and their wake-up. The receiver's descriptor becomes readable on every
// request, so a thread waiting in poll() beside its socket returns at once. A retire hands the
// connection over (net/connection_handover.hpp); what became of the client goes the other way,
// to the connection's ClientWatch (net/outcome_relay.hpp), when the channel was made with one.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "common/result.hpp"
#include "common/system_error.hpp"
#include "net/channel_closed.hpp"
#include "net/client_watch.hpp"
#include "net/connection_handover.hpp"
#include "net/socket.hpp"

namespace velto::net {

struct StopChannelState;

// Every operation of the sender is a no-op in a process other than the one that made the
// channel: a child made by fork() shares the wake-up descriptor but not the serving thread,
// and must not stop, retire or wake its parent's thread.
class StopSender {
  public:
    explicit StopSender(std::shared_ptr<StopChannelState> state) noexcept;
    StopSender(StopSender&&) noexcept = default;
    StopSender& operator=(StopSender&&) noexcept;
    ~StopSender();  // the receiver then sees the channel disconnected

    // Asks the thread to stop and shut its connection down. Fails once the receiver is gone,
    // and in another process, which has no serving thread to stop. Sending again while the
    // first stop is still queued succeeds.
    Status<ChannelClosed> send();
    // Asks the thread to stop without shutting the connection down (a new thread takes the
    // same connection over). Never fails; a gone receiver makes it a no-op. The result is for
    // the new thread (see spawn_serving_thread); empty in another process.
    Predecessor retire() noexcept;

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
    // Later sends fail with ChannelClosed. The watch learns why the thread ended: a stop or
    // the sender's disappearance is Stopped, a retire hands the watch to the thread that takes
    // over, and no request at all means a fault ended it: Failed.
    ~StopReceiver();

    // Never blocks. Of several requests the strongest wins: Stop, then StopKeepConnection,
    // then Disconnected. When it returns None the wake-up descriptor has been emptied, so a
    // wake-up that asked nothing does not keep waking the thread.
    Signal poll() noexcept;
    // The same answer from the request word alone, without a system call: a sender sets its
    // request before it writes the wake-up, so a request is seen here as soon as it is made.
    // The descriptor is left as it is: for a thread that only reads it when poll() found it
    // readable (then calling poll()), on every frame in between.
    Signal requested() const noexcept;
    // Readable whenever poll() would not return None (and after a wake-up that poll() has not
    // emptied yet).
    int wake_fd() const noexcept;
    // Leaves the bytes received from the socket `source` identifies and not dispatched to the
    // thread that takes the connection over after a StopKeepConnection; they are handed over
    // when this receiver is destroyed.
    void hand_over(std::vector<std::uint8_t> pending,
                   std::optional<SocketIdentity> source) noexcept;
    // The client closed its side. Said on every zero-length read; the watch keeps the first
    // word it gets.
    void client_gone() noexcept;
    // The client reset the connection or stopped answering: the receive failed and the thread
    // is about to end. The watch hears it only when the receiver is gone, so that a close() made
    // on that news is refused, as after any end of serving.
    void client_lost() noexcept;
    // The watch this channel was made with; null when none.
    const ClientWatch* client_watch() const noexcept;

  private:
    void close() noexcept;
    std::shared_ptr<StopChannelState> state_;
};

// With a `client` watch, the receiver counts itself in on it at once: before serve() retires
// the thread that served the connection until now (see ClientWatch::attach).
Result<std::pair<StopSender, StopReceiver>, SystemError> make_stop_channel(
    std::shared_ptr<ClientWatch> client = nullptr);

}  // namespace velto::net
