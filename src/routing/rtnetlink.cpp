#include "routing/rtnetlink.h"

#include <linux/fib_rules.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include "netlink/bytes.h"
#include "netlink/socket.h"

namespace routing::rtnetlink {
namespace {

using netlink::forEachAttribute;
using netlink::forEachMessage;
using netlink::load;
using netlink::routeAttributesStart;

constexpr std::size_t headerSize = NLMSG_HDRLEN;

// The part of a dump that is not data: a done message ends it, an error reply fails it. Returns
// whether to walk on, or none for a data message.
template <typename Messages>
std::optional<bool> dumpControl(std::uint16_t type, std::span<const std::byte> message,
                                Messages& into) {
    if (type == NLMSG_DONE) {
        into.done = true;
        return false;
    }
    if (type != NLMSG_ERROR) return std::nullopt;
    const int code = netlink::errorCode(message);
    if (code != 0) into.error = code;
    return code == 0;
}

// Sends a dump request of `type` for `family` and hands every message of the answer to
// `parse`.
template <typename Messages, typename Header>
std::optional<Messages> dump(std::uint16_t type, const Header& header,
                             void (*parse)(std::span<const std::byte>, Messages&)) {
    Messages messages;
    const int code = netlink::exchange(
        NETLINK_ROUTE, netlink::Request(type, NLM_F_REQUEST | NLM_F_DUMP, 1, header).bytes(),
        [&](std::uint16_t, std::span<const std::byte> message) { parse(message, messages); });
    if (code != 0 || messages.error != 0) return std::nullopt;
    return messages;
}

}  // namespace

ProcRouteScan scanProcNetRoute(std::string_view text, const ProcRouteSkip& skip) {
    ProcRouteScan scan;
    std::uint32_t bestMetric = 0xffffffffu;
    bool header = true;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string line(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (std::exchange(header, false)) continue;

        char interface[16] = {};
        unsigned destination = 0, gateway = 0, flags = 0, mask = 0;
        int metric = 0;
        if (std::sscanf(line.c_str(), "%15s\t%x\t%x\t%x\t%*s\t%*s\t%d\t%x", interface, &destination,
                        &gateway, &flags, &metric, &mask) != 6) {
            continue;
        }
        const bool up = (flags & 1u) != 0;
        if (!up || destination != 0 || mask != 0) continue;
        if (static_cast<std::uint32_t>(metric) >= bestMetric) continue;
        if (skip && skip(interface, gateway)) continue;
        bestMetric = static_cast<std::uint32_t>(metric);
        scan.taken.emplace_back(interface);
        scan.gateway = gateway;
        scan.interface = interface;
        scan.metric = bestMetric;
    }
    return scan;
}

Ipv6LookupWalk walkIpv6LookupReply(std::span<const std::byte> reply) {
    Ipv6LookupWalk walk;
    forEachMessage(reply, [&](std::uint16_t type, std::span<const std::byte> message) {
        switch (type) {
            case NLMSG_DONE:
                return false;
            case NLMSG_ERROR: {
                if (message.size() < headerSize + sizeof(int)) return false;
                const int code = load<int>(message, headerSize);
                if (code == -ENETUNREACH) return false;
                // The kernel sends a negated errno. The one code that cannot be negated is no
                // errno either, and strerror calls it an unknown error as it is.
                const int error = code == std::numeric_limits<int>::min() ? code : -code;
                walk.errors.push_back(std::string("Error ") + std::strerror(error));
                walk.failed = true;
                return false;
            }
            case RTM_NEWROUTE: {
                if (message.size() < routeAttributesStart) return true;
                const auto route = load<rtmsg>(message, headerSize);
                if (route.rtm_family != AF_INET6 || route.rtm_table != RT_TABLE_MAIN) return true;
                std::optional<netlink::Address> gateway;
                unsigned interface = 0;
                std::uint32_t metric = 0;
                forEachAttribute(message.subspan(routeAttributesStart), [&](std::uint16_t attribute,
                                                                            auto data) {
                    if (attribute == RTA_GATEWAY) {
                        if (data.size() == sizeof(in6_addr)) {
                            gateway = netlink::Address::fromBytes(AF_INET6, data.data());
                        } else {
                            walk.errors.emplace_back("Size mismatch");
                        }
                    } else if (attribute == RTA_OIF && data.size() == sizeof(std::uint32_t)) {
                        interface = load<std::uint32_t>(data, 0);
                    } else if (attribute == RTA_PRIORITY && data.size() == sizeof(std::uint32_t)) {
                        metric = load<std::uint32_t>(data, 0);
                    }
                });
                if (gateway) {
                    walk.gateway = gateway;
                    walk.outputInterface = interface;
                    walk.metric = metric;
                }
                return true;
            }
            default:
                walk.errors.push_back("Unexpected message type " + std::to_string(type));
                return true;
        }
    });
    return walk;
}

namespace {

// The plain numbers among a route's metrics, with the locks RTAX_LOCK names; the congestion
// control algorithm, a name, is passed over.
std::vector<RouteMetric> parseMetrics(std::span<const std::byte> area) {
    std::vector<RouteMetric> metrics;
    std::uint32_t locks = 0;
    forEachAttribute(area, [&](std::uint16_t type, auto data) {
        if (data.size() != sizeof(std::uint32_t)) return;
        const auto value = load<std::uint32_t>(data, 0);
        if (type == RTAX_LOCK) {
            locks = value;
        } else if (type > RTAX_LOCK && type <= RTAX_MAX && type != RTAX_CC_ALGO) {
            std::erase_if(metrics, [&](const RouteMetric& m) { return m.type == type; });
            metrics.push_back({type, value, false});
        }
    });
    std::sort(metrics.begin(), metrics.end(),
              [](const RouteMetric& a, const RouteMetric& b) { return a.type < b.type; });
    for (RouteMetric& metric : metrics)
        metric.locked = metric.type < 32 && (locks & (1u << metric.type)) != 0;
    return metrics;
}

// The seconds left of a lifetime the kernel tells in clock ticks: none for a route without
// one (0), none left for one that has run out but is not yet collected.
std::optional<std::uint32_t> secondsLeft(std::span<const std::byte> cacheinfo) {
    if (cacheinfo.size() < sizeof(rta_cacheinfo)) return std::nullopt;
    const auto ticks = load<rta_cacheinfo>(cacheinfo, 0).rta_expires;
    if (ticks == 0) return std::nullopt;
    static const long hz = std::max(1L, ::sysconf(_SC_CLK_TCK));
    if (ticks < 0) return 0;
    return static_cast<std::uint32_t>((ticks + hz - 1) / hz);
}

}  // namespace

std::optional<RouteInfo> parseRoute(std::span<const std::byte> message) {
    if (message.size() < routeAttributesStart) return std::nullopt;
    const auto header = load<rtmsg>(message, headerSize);
    RouteInfo route;
    route.family = header.rtm_family;
    route.table = header.rtm_table;
    route.type = header.rtm_type;
    route.dstLength = header.rtm_dst_len;
    route.flags = header.rtm_flags;
    route.protocol = header.rtm_protocol;
    route.scope = header.rtm_scope;
    const bool inet = route.family == AF_INET || route.family == AF_INET6;
    const auto address = [&](std::span<const std::byte> data) -> std::optional<netlink::Address> {
        if (!inet || data.size() != netlink::Address::size(route.family)) return std::nullopt;
        return netlink::Address::fromBytes(route.family, data.data());
    };
    forEachAttribute(message.subspan(routeAttributesStart),
                     [&](std::uint16_t attribute, auto data) {
                         const bool word = data.size() == sizeof(std::uint32_t);
                         if (attribute == RTA_TABLE && word)
                             route.table = load<std::uint32_t>(data, 0);
                         if (attribute == RTA_PRIORITY && word)
                             route.priority = load<std::uint32_t>(data, 0);
                         if (attribute == RTA_OIF && word)
                             route.outputInterface = load<std::uint32_t>(data, 0);
                         if (attribute == RTA_DST) route.destination = address(data);
                         if (attribute == RTA_GATEWAY) route.gateway = address(data);
                         if (attribute == RTA_PREFSRC) route.source = address(data);
                         if (attribute == RTA_PREF && data.size() == 1)
                             route.preference = load<std::uint8_t>(data, 0);
                         if (attribute == RTA_CACHEINFO) route.expires = secondsLeft(data);
                         if (attribute == RTA_METRICS) route.metrics = parseMetrics(data);
                     });
    return route;
}

void parseRouteMessages(std::span<const std::byte> datagram, RouteMessages& into) {
    forEachMessage(datagram, [&](std::uint16_t type, std::span<const std::byte> message) {
        if (const auto go = dumpControl(type, message, into)) return *go;
        if (type != RTM_NEWROUTE) return true;
        if (auto route = parseRoute(message)) into.routes.push_back(std::move(*route));
        return true;
    });
}

std::optional<std::vector<RouteInfo>> dumpRoutes(int family) {
    rtmsg header{};
    header.rtm_family = static_cast<unsigned char>(family);
    const auto messages = dump<RouteMessages>(RTM_GETROUTE, header, parseRouteMessages);
    if (!messages) return std::nullopt;
    return messages->routes;
}

std::optional<std::vector<RouteInfo>> dumpTableDefaults(int family, std::uint32_t table) {
    const auto routes = dumpRoutes(family);
    if (!routes) return std::nullopt;
    std::vector<RouteInfo> defaults;
    for (const RouteInfo& route : *routes) {
        if (route.family == family && route.table == table && route.dstLength == 0) {
            defaults.push_back(route);
        }
    }
    return defaults;
}

std::optional<std::vector<RouteInfo>> dumpDefaultRoutes(int family) {
    return dumpTableDefaults(family, RT_TABLE_MAIN);
}

void parseRuleMessages(std::span<const std::byte> datagram, RuleMessages& into) {
    forEachMessage(datagram, [&](std::uint16_t type, std::span<const std::byte> message) {
        if (const auto go = dumpControl(type, message, into)) return *go;
        constexpr std::size_t attributes = NLMSG_LENGTH(sizeof(fib_rule_hdr));
        if (type != RTM_NEWRULE || message.size() < attributes) return true;
        const auto header = load<fib_rule_hdr>(message, headerSize);
        RuleInfo rule;
        rule.family = header.family;
        rule.table = header.table;
        rule.action = header.action;
        forEachAttribute(message.subspan(attributes), [&](std::uint16_t attribute, auto data) {
            if (attribute == FRA_DST && data.size() == netlink::Address::size(header.family)) {
                rule.destination = netlink::Address::fromBytes(header.family, data.data());
                rule.destinationLength = header.dst_len;
            }
            if (data.size() != sizeof(std::uint32_t)) return;
            if (attribute == FRA_FWMARK) rule.mark = load<std::uint32_t>(data, 0);
            const auto value = load<std::uint32_t>(data, 0);
            if (attribute == FRA_PRIORITY) rule.priority = value;
            if (attribute == FRA_TABLE) rule.table = value;
            if (attribute == FRA_SUPPRESS_PREFIXLEN) rule.suppressPrefixLength = value;
        });
        into.rules.push_back(rule);
        return true;
    });
}

std::optional<std::vector<RuleInfo>> dumpRules(int family) {
    fib_rule_hdr header{};
    header.family = static_cast<unsigned char>(family);
    const auto messages = dump<RuleMessages>(RTM_GETRULE, header, parseRuleMessages);
    if (!messages) return std::nullopt;
    return messages->rules;
}

int exchangeChange(std::span<const std::byte> request) {
    return netlink::exchange(NETLINK_ROUTE, request);
}

bool kernelHasIpv6() {
    return ::access("/proc/net/if_inet6", F_OK) == 0;
}

WatchSocket openRouteWatchSocket(int family) {
    // Links and addresses too: a route the watcher could not put back may fit once they come.
    return family == AF_INET6
               ? netlink::subscribe(NETLINK_ROUTE, {RTNLGRP_IPV6_ROUTE, RTNLGRP_IPV6_RULE,
                                                    RTNLGRP_IPV6_IFADDR, RTNLGRP_LINK})
               : netlink::subscribe(NETLINK_ROUTE, {RTNLGRP_IPV4_ROUTE, RTNLGRP_IPV4_RULE,
                                                    RTNLGRP_IPV4_IFADDR, RTNLGRP_LINK});
}

}  // namespace routing::rtnetlink
