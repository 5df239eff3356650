// The serving loop: reads frames from one connection and hands each to a handler until it is
// stopped, retired, its sender disappears, or a fault ends it.
#pragma once

#include <bitset>
#include <chrono>
#include <csignal>
#include <string>

#include "common/result.hpp"
#include "net/fd.hpp"
#include "net/stop_channel.hpp"
#include "wire/frame.hpp"
#include "wire/values.hpp"

namespace velto::net {

// What one frame's dispatch came to. The serving loop writes the console lines that show it.
struct Dispatched {
    enum class Outcome {
        NoAction,  // nothing is registered for the frame
        Ran,       // the action ran and returned
        Failed,    // the action, or what it needed, failed: the thread ends with the fault
                   // "Action failed " + text
        Refused,   // an action is registered, but its host runs no program code any more: the
                   // thread ends without a report, `text` being the fault's message
        Stopped,   // a stop ended the wait for the action's work done elsewhere (see
                   // Completion): no "after function", no "done", and the thread terminates
    };
    Outcome outcome = Outcome::NoAction;
    std::string text;
    // Failed only: what helps find the cause (the action's traceback), shown after the message
    // in the fault's report and nowhere else.
    std::string details = {};
};

// What the serving loop calls for each decoded frame. Implemented by the binding, which owns
// the registry snapshot and the interpreter.
class FrameHandler {
  public:
    // The loop's part just before program code runs: it writes out the lines that come before
    // an action, so that whatever that code prints comes after them. The handler calls it once
    // at most, and never while it holds a lock that others may need, as a full standard output
    // would block the write.
    class BeforeProgramCode {
      public:
        virtual void operator()() noexcept = 0;

      protected:
        ~BeforeProgramCode() = default;
    };

    virtual ~FrameHandler() = default;
    // Dispatches one frame. `stop` is for a handler that waits for work done elsewhere: only a
    // stop may end that wait early. A `Fault` thrown from here ends the thread as that fault.
    virtual Dispatched execute_action(const wire::Frame& frame,
                                      BeforeProgramCode& before_program_code,
                                      StopReceiver& stop) = 0;
    // Called once on the serving thread when the loop is over and the thread has let its stop
    // receiver and connection go, before the handler is destroyed (spawn_serving_thread only).
    // The place for a last release that may wait, for an interpreter's lock say, and that the
    // interpreter may end with a forced unwinding, which a destructor could not let through.
    // Throws nothing else.
    virtual void finish() {}
};

// How one serving thread paces itself and what it writes, chosen by the program before the thread
// starts and fixed for the thread's life.
struct ServingSettings {
    // The protocol's own pace.
    static constexpr std::chrono::milliseconds default_read_interval{500};

    // The pause at the start of every cycle, before the wait for bytes. Zero: no pause, the thread
    // receives as soon as bytes arrive. A stop ends the pause at once, whatever its length. Once
    // the client has closed its side, every cycle finds that end again at once: from then on
    // the cycles keep at least the default pace, so that a short interval does not spin.
    std::chrono::nanoseconds read_interval = default_read_interval;
    // False: the thread writes no console line at all (fault reports on standard error stay).
    bool console_lines = true;
    // Widget kinds, by WidgetRegistry index, whose stale frames are dropped: of the frames of one
    // widget (kind and id) that the thread has waiting at once, only the newest is dispatched, at
    // its own place in the order. Frames of other kinds are never dropped.
    std::bitset<wire::widget_kind_count> latest_only;
};

// Runs the loop on the calling thread. Returns when the thread is to end; every fault has been
// reported on standard error by then, and a fault has shut the connection down in both
// directions, as a stop does, so that the client sees at once that nobody reads it any more.
// The handler is destroyed by the caller afterwards.
// The loop waits with the calling thread's signal mask and calls execute_action with
// `action_signals` as the mask, set once for each run of frames received together and
// replaced by the caller's again before the loop waits.
// With a predecessor (the thread that served the connection before, see StopSender::retire),
// nothing is read before the predecessor has ended, and the bytes it received on the same
// socket but did not dispatch are dispatched here.
void run_serving_loop(const Fd& connection, StopReceiver& stop, FrameHandler& handler,
                      const sigset_t& action_signals, Predecessor predecessor = {},
                      const ServingSettings& settings = {});

}  // namespace velto::net
