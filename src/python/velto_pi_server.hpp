// The facade class VeltoPiServer, whose one member use_socket(address) makes a ComSocketServer.
#pragma once

#include "python/python.hpp"

#include "python/classes.hpp"

namespace velto::python {

ClassResult velto_pi_server_class();

}  // namespace velto::python
