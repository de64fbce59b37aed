// What only Linux offers for a serial line: the driver's low-latency mode, and the name of the
// program that holds a busy line.
#pragma once

#include <string>

namespace kv {

// Asks the driver to hand over each received byte at once. Many USB adapters otherwise hold a byte up
// to 16 ms, which over a full download's thousands of replies adds about half a minute. True when
// this call switched the mode on (and so must put it back); false when it was on already or the
// driver refuses (pseudo-terminals do).
bool RequestLowLatency(int fd);
// Switches the mode off again.
void PutBackLatency(int fd);

// "ld6193-flash (pid 4711)" for the first other process under `root` ("/" for this machine) that has
// `device` open; "" when none is found (the holder may belong to a user whose processes we cannot see).
std::string FindLineHolder(const std::string& device, const std::string& root);

}  // namespace kv
