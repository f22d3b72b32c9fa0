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

}  // namespace qel::recv_tool
