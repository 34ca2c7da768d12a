#pragma once

// The kernel's routing data as bytes: "/proc/net/route" text and the rtnetlink messages of
// routes and rules. The parsers are pure functions over what the kernel (or anyone else) sent,
// so that unit tests feed them crafted bytes and fuzzers random ones; the exchanges below
// them talk to the kernel through the netlink layer.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "routing/kernel.h"

namespace routing::rtnetlink {

// --- "/proc/net/route" ----------------------------------------------------------------------

struct ProcRouteScan {
    std::vector<std::string> taken;  // interface of each default route taken, in order
    // The best default route: its gateway word exactly as the file holds it (the address
    // bytes in network order) and its interface.
    std::optional<std::uint32_t> gateway;
    std::string interface;
    std::uint32_t metric = 0;
};

// Whether the scan passes over a default route (interface, gateway word): the tunnel's.
using ProcRouteSkip = std::function<bool(std::string_view interface, std::uint32_t gateway)>;

// Finds the up IPv4 default route of the lowest metric; the earliest line wins a tie.
ProcRouteScan scanProcNetRoute(std::string_view text, const ProcRouteSkip& skip = {});

// --- IPv6 default gateway lookup ------------------------------------------------------------

struct Ipv6LookupWalk {
    std::optional<netlink::Address> gateway;  // the last gateway of the right size
    unsigned outputInterface = 0;             // the interface of the route that carried it
    std::uint32_t metric = 0;                 // that route's metric, 0 when the reply had none
    std::vector<std::string> errors;          // error messages met on the way, in order
    bool failed = false;  // an error reply other than "network unreachable" ended the walk
};

Ipv6LookupWalk walkIpv6LookupReply(std::span<const std::byte> reply);

// --- route dumps ----------------------------------------------------------------------------

struct RouteMessages {
    std::vector<RouteInfo> routes;
    bool done = false;  // NLMSG_DONE seen
    int error = 0;      // a negative error code from an NLMSG_ERROR
};

// The route of one route message (new or removed), header included; none when it is too short.
std::optional<RouteInfo> parseRoute(std::span<const std::byte> message);
// Appends the RTM_NEWROUTE messages of one datagram.
void parseRouteMessages(std::span<const std::byte> datagram, RouteMessages& into);

// --- policy rules ----------------------------------------------------------------------------

struct RuleMessages {
    std::vector<RuleInfo> rules;
    bool done = false;
    int error = 0;
};

// Appends the RTM_NEWRULE messages of one datagram.
void parseRuleMessages(std::span<const std::byte> datagram, RuleMessages& into);

// --- exchanges with the kernel --------------------------------------------------------------

// The routes of one family, all tables; the default routes of its main table.
std::optional<std::vector<RouteInfo>> dumpRoutes(int family);
std::optional<std::vector<RouteInfo>> dumpDefaultRoutes(int family);
std::optional<std::vector<RouteInfo>> dumpTableDefaults(int family, std::uint32_t table);
std::optional<std::vector<RuleInfo>> dumpRules(int family);
// Sends a change request and waits for its acknowledgement: 0 or a negative errno.
int exchangeChange(std::span<const std::byte> request);
// Subscribed to the family's route, rule and address notifications, and to those of links.
WatchSocket openRouteWatchSocket(int family);
bool kernelHasIpv6();

}  // namespace routing::rtnetlink
