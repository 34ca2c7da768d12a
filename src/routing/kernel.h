#pragma once

// What the routing subsystem asks of the outside world, as one set of function objects. The
// daemon uses the system's: route programs spawned for real, rtnetlink sockets. Unit tests put
// recorders and crafted replies in their place.

#include <linux/rtnetlink.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "netlink/address.h"
#include "netlink/socket.h"

namespace routing {

// One route of a kernel routing table, as far as the daemon looks at it.
struct RouteInfo {
    int family = AF_UNSPEC;
    std::uint32_t table = 0;
    unsigned char type = 0;  // RTN_UNICAST, RTN_BLACKHOLE, ...
    unsigned char dstLength = 0;
    std::uint32_t priority = 0;
    std::optional<netlink::Address> gateway;
    unsigned outputInterface = 0;
    std::uint32_t flags = 0;               // rtm_flags: RTNH_F_ONLINK, ...
    unsigned char protocol = RTPROT_BOOT;  // who made it: RTPROT_DHCP, RTPROT_STATIC, ...
};

// One policy routing rule, as far as the daemon looks at it.
struct RuleInfo {
    int family = AF_UNSPEC;
    std::uint32_t priority = 0;
    std::uint32_t table = 0;
    unsigned char action = 0;  // FR_ACT_TO_TBL, ...
    std::optional<std::uint32_t> suppressPrefixLength;
};

// A route watcher's notification socket, or the call that failed to make it.
using WatchSocket = netlink::Subscription;

struct Kernel {
    // Runs one route command and returns its raw wait status.
    std::function<int(std::string_view command)> run;
    // The default routes of the main table of one family; none when the table cannot be read.
    std::function<std::optional<std::vector<RouteInfo>>(int family)> defaultRoutes;
    // The default routes of another table of one family; none when it cannot be read.
    std::function<std::optional<std::vector<RouteInfo>>(int family, std::uint32_t table)>
        tableDefaults;
    // A socket that receives the route notifications of one family.
    std::function<WatchSocket(int family)> openWatchSocket;
    // Sends one rtnetlink change request and returns its acknowledgement: 0 or a negative errno.
    std::function<int(std::span<const std::byte> request)> change;
    // The policy routing rules of one family; none when they cannot be read.
    std::function<std::optional<std::vector<RuleInfo>>(int family)> rules;
    // Whether the kernel has IPv6 at all.
    std::function<bool()> hasIpv6;
};

// The kernel the routing operations use; the system's unless a test replaced it.
Kernel& kernel();
// The system's own.
Kernel systemKernel();

}  // namespace routing
