#pragma once

// What the guard asks of the outside world, as one set of function objects: nftables through
// libnftables, and netlink for the host's addresses and for notifications. The daemon uses the
// system's; unit tests put recorders in their place, so that no unit test ever reaches the
// host's packet filter.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "guard/ruleset.h"
#include "netlink/socket.h"

namespace guard {

struct Kernel {
    // Runs nft commands as one transaction; none when they succeeded, with what they listed
    // in `output`, else nft's error text.
    std::function<std::optional<std::string>(const std::string& commands, std::string& output)> nft;
    // Whether the kernel has nf_tables at all.
    std::function<bool()> hasNfTables;
    // The addresses the host holds now; none when they cannot be read.
    std::function<std::optional<std::vector<netlink::InterfaceAddress>>()> addresses;
    // The index of the interface of that name; 0 when there is none.
    std::function<unsigned(const std::string& name)> interfaceIndex;
    // Sockets that receive the notifications of interfaces and their addresses, and of
    // nf_tables.
    std::function<netlink::Subscription()> watchInterfaces;
    std::function<netlink::Subscription()> watchTables;
};

// The kernel the guard uses; the system's unless a test replaced it.
Kernel& kernel();
Kernel systemKernel();

}  // namespace guard
