// The flasher's port commands: --list-ports (what COM1 to COM4, and further numbered ports, stand for)
// and --forget-port N (frees a number kept for an adapter). Both over a port directory, so that tests
// give a fake machine.
#pragma once

#include <iosfwd>

#include "ports/port_names.h"

namespace kv {

// One line per port on `out`; the numbers' notice, if any, on `err`. Returns the exit code.
int ListPortsTo(const PortDirectory& ports, std::ostream& out, std::ostream& err);

// Frees COMn's number: what happened on `out` (0), or why it could not on `err` (1).
int ForgetPortTo(const PortDirectory& ports, int n, std::ostream& out, std::ostream& err);

}  // namespace kv
