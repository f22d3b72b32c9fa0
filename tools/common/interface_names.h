// The host's name for the interface that carries an address (eth0), shown beside a board's
// address so that a person can match it with what ip(8) lists.
#pragma once

#include <string>

namespace qel::tools {

// The interface carrying the dotted IPv4 address; empty when none does or it cannot be told.
[[nodiscard]] std::string interface_name(const std::string &address);

}  // namespace qel::tools
