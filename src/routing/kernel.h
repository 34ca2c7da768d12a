#pragma once

// What the routing subsystem asks of the outside world, as one set of function objects. The
// daemon uses the system's: route programs spawned for real, rtnetlink sockets. Unit tests put
// recorders and crafted replies in their place.

#include <linux/rtnetlink.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "netlink/address.h"
#include "netlink/lan.h"
#include "netlink/socket.h"

namespace routing {

// One of a route's metrics (RTA_METRICS) that is a plain number: RTAX_MTU, RTAX_ADVMSS, ...
struct RouteMetric {
    unsigned short type = 0;
    std::uint32_t value = 0;
    bool locked = false;  // named in RTAX_LOCK: path MTU discovery and the like leave it alone
    bool operator==(const RouteMetric&) const = default;
};

// One route of a kernel routing table, as far as the daemon looks at it.
struct RouteInfo {
    int family = AF_UNSPEC;
    std::uint32_t table = 0;
    unsigned char type = 0;  // RTN_UNICAST, RTN_BLACKHOLE, ...
    unsigned char dstLength = 0;
    std::optional<netlink::Address> destination;  // RTA_DST; none for a default route
    std::uint32_t priority = 0;
    std::optional<netlink::Address> gateway;
    unsigned outputInterface = 0;
    std::uint32_t flags = 0;               // rtm_flags: RTNH_F_ONLINK, ...
    unsigned char protocol = RTPROT_BOOT;  // who made it: RTPROT_DHCP, RTPROT_STATIC, ...
    unsigned char scope = RT_SCOPE_UNIVERSE;
    std::optional<netlink::Address> source;  // the preferred source address (RTA_PREFSRC)
    unsigned char preference = 0;            // IPv6 router preference (RTA_PREF), 0 is medium
    // The seconds a route of limited lifetime (a router advertisement's) has left; none when
    // it lives until removed.
    std::optional<std::uint32_t> expires;
    std::vector<RouteMetric> metrics;  // in the order of their types
};

// One policy routing rule, as far as the daemon looks at it.
struct RuleInfo {
    int family = AF_UNSPEC;
    std::uint32_t priority = 0;
    std::uint32_t table = 0;
    unsigned char action = 0;  // FR_ACT_TO_TBL, ...
    std::optional<std::uint32_t> suppressPrefixLength;
    std::optional<std::uint32_t> mark{};            // FRA_FWMARK
    std::optional<netlink::Address> destination{};  // FRA_DST
    unsigned char destinationLength = 0;            // its prefix length
};

// How a device takes IPv6 router advertisements: its accept_ra, forwarding and
// accept_ra_defrtr settings.
struct RouterAdvertisementSettings {
    int acceptRa = 1;
    int forwarding = 0;
    int acceptDefaultRouter = 1;
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
    // A socket that receives the route, rule and address notifications of one family, and
    // those of links.
    std::function<WatchSocket(int family)> openWatchSocket;
    // Sends one rtnetlink change request and returns its acknowledgement: 0 or a negative errno.
    std::function<int(std::span<const std::byte> request)> change;
    // The policy routing rules of one family; none when they cannot be read.
    std::function<std::optional<std::vector<RuleInfo>>(int family)> rules;
    // Whether the kernel has IPv6 at all.
    std::function<bool()> hasIpv6;
    // The addresses the host holds now; none when they cannot be read.
    std::function<std::optional<std::vector<netlink::InterfaceAddress>>()> addresses;
    // A device's router advertisement settings; none when they cannot be read (the device is
    // gone, or has no IPv6).
    std::function<std::optional<RouterAdvertisementSettings>(const std::string& device)>
        routerAdvertisements;
    // Sends a router solicitation out of the device with that index, so that the routers on
    // its link advertise at once; 0 or a negative errno.
    std::function<int(unsigned interface)> solicitRouters;
    // The device the kernel routes traffic to an address through; none without a route.
    std::function<std::optional<netlink::Device>(const netlink::Address& address)> routeDevice;
};

// The kernel the routing operations use; the system's unless a test replaced it.
Kernel& kernel();
// The system's own.
Kernel systemKernel();

}  // namespace routing
