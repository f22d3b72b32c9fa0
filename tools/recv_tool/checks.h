// Checks made before receiving, so that bad input gets a clear reason instead of a failure
// deep inside the library.
#pragma once

#include <cstdint>
#include <string>

#include "api/tools_door.h"

namespace qel::recv_tool {

// Makes sure `dir` exists (creating it, private to the user) and is a folder no other user
// controls (see files::open_folder; `kind` says which), and that files can be written into it;
// empty when they can, else the reason (for the caller to put after what it was doing).
[[nodiscard]] std::string check_save_dir(const std::string &dir, files::Folder kind);

// Tries to bind a UDP socket to the unicast address and port: empty when that works or when
// the address is not a local one (opening the stream then says which board is missing), else
// why the port cannot be used.
[[nodiscard]] std::string check_port(const std::string &address, uint16_t port);

// A UDP port on `address` that no one uses now (the kernel's choice); 0 when there is none.
[[nodiscard]] uint16_t free_port(const std::string &address);

// Asks the kernel for the socket receive buffer the software adapter asks for on its sockets
// (QEL_ADAPTER_RCVBUF, else 64 MiB), as the adapter does: empty when it is granted, else what
// was obtained and how to get the rest. A small buffer loses packets in any burst.
[[nodiscard]] std::string check_receive_buffer();

}  // namespace qel::recv_tool
