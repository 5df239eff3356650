// ComSocketServer: the object behind the Python class, what other rooms need of it (its class
// object, its construction, its state type), and nothing of its methods, which only its method
// table reaches.
#pragma once

#include "python/python.hpp"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "net/client_filter.hpp"
#include "net/client_watch.hpp"
#include "net/fd.hpp"
#include "net/liveness.hpp"
#include "net/serving_loop.hpp"
#include "net/stop_channel.hpp"
#include "python/classes.hpp"
#include "python/errors.hpp"
#include "python/ref.hpp"
#include "python/serving_dispatch.hpp"

namespace velto::python {

struct ComSocketServerState {
    std::string address;     // as given to the constructor; parsed only by open()
    net::Fd connection;      // the accepted connection; invalid when there is none
    ActionRegistry actions;  // strong references, released with the object
    std::optional<net::StopSender> stop_sender;  // set by serve(), never cleared
    // What became of the client of `connection`, as its serving threads saw it: set by serve(),
    // kept by a serve() on the same connection, dropped by open() (a new client).
    std::shared_ptr<net::ClientWatch> client_watch;
    // How the next serving thread paces itself, what it writes and which stale frames it drops
    // (the read_interval, console_lines and latest_only attributes): handed to each thread by
    // serve(), so a change reaches the thread of the next serve(). `read_interval` keeps the
    // seconds as the program gave them, the settings their nanoseconds.
    double read_interval;
    net::ServingSettings serving = {};
    // Seconds without an answer at the network level after which a client counts as gone
    // (none: never), applied to every accepted connection; the writer's side of it for `connection`.
    std::optional<double> liveness_timeout = default_liveness_timeout;
    std::optional<net::WriteLiveness> connection_liveness;
    // The clients open() lets in; none: any.
    std::optional<net::ClientFilter> allowed_clients;

    static constexpr double default_liveness_timeout = 15.0;
    // The event loop that runs the awaitables of the actions served on `connection` (the loop
    // running where serve() was called), kept beside the watch; empty when serve() found none.
    Ref serving_loop;

    // A snapshot for a serving thread: new map, same keys, new references to the same objects.
    // Needs the interpreter lock.
    ActionRegistry clone_action_registry() const;
};

using ComSocketServerObject = Object<ComSocketServerState>;

inline constexpr std::string_view com_socket_server_name = "ComSocketServer";

ClassResult com_socket_server_class();

// A new server for `address`: no connection, no stop channel, an empty registry. The body of
// both ComSocketServer(address) and VeltoPiServer.use_socket(address).
Result<Ref, OperationError> new_com_socket_server(std::string address);

}  // namespace velto::python
