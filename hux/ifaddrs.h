// Interface discovery over a chosen host: what hux_getifaddrs does with this host's
// interfaces, open to a test that scripts the host.
#pragma once

#include "hux.h"
#include "hux/host_interfaces.h"

namespace qel::hux {

// Size of each record's name slot: the longest dotted-decimal address and its terminator.
constexpr size_t kNameSlotBytes = 16;

int list_board_addresses(HostInterfaces &host, hux_ifaddrs **list, int *count);

}  // namespace qel::hux
