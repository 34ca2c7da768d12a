// Discovery of the physical default gateways.

#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <linux/rtnetlink.h>

#include <algorithm>
#include <cstring>

#include "core/log.h"
#include "core/paths.h"
#include "routing/kernel.h"
#include "routing/routing.h"
#include "routing/rtnetlink.h"
#include "routing/state.h"
#include "routing/state_file.h"
#include "util/unique_fd.h"

namespace routing {
namespace {

using core::levelDebug;
using core::levelError;
using core::logMessage;

std::optional<std::string> readProcNetRoute() {
    util::unique_fd fd(::open(core::paths().procNetRoute.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    std::string text;
    char chunk[4096];
    ssize_t count;
    while ((count = ::read(fd.get(), chunk, sizeof chunk)) > 0) {
        text.append(chunk, static_cast<std::size_t>(count));
    }
    return text;
}

// The tunnel's default routes are never the physical ones: not through its gateway, nor over
// the device that carries it. `routes` is the main table's IPv4 default routes.
rtnetlink::ProcRouteSkip tunnelSkip(const std::vector<RouteInfo>& routes) {
    return [routes](std::string_view interface, std::uint32_t word) {
        RouteInfo route;
        route.family = AF_INET;
        route.gateway = netlink::Address::fromBytes(AF_INET, &word);
        route.outputInterface = ::if_nametoindex(std::string(interface).c_str());
        return leadsIntoTunnel(route, routes);
    };
}

void saveIpv4Gateway(const rtnetlink::ProcRouteScan& scan, const std::vector<RouteInfo>& routes) {
    for (const std::string& interface : scan.taken) {
        logMessage(levelDebug, "Found gateway %s\n", interface.c_str());
    }
    if (!scan.gateway) return;
    DefaultRoute gateway;
    // The file holds the address word as it lies in memory: its bytes are in network order.
    // An uplink without gateway (PPP, mobile broadband) is reached by its device.
    if (*scan.gateway != 0) {
        gateway.gateway = netlink::Address::fromBytes(AF_INET, &*scan.gateway);
    } else {
        gateway.scope = RT_SCOPE_LINK;
    }
    gateway.device = scan.interface;
    gateway.metric = scan.metric;
    // The kernel's own record of the route says the rest: its protocol, source address, ...
    for (const RouteInfo& route : routes) {
        const DefaultRoute whole = rememberedRoute(route);
        if (route.type == RTN_UNICAST && sameRoute(whole, gateway)) {
            gateway = whole;
            break;
        }
    }
    state().ipv4Gateway = gateway;
    logMessage(levelDebug, "Saving gateway %s\n", scan.interface.c_str());
}

// The IPv6 pass reads the default routes of the main table: a lookup of :: would be answered
// by the tunnel's ::/3, by the blackhole, or by the kill switch's rules. False when it failed.
bool retrieveIpv6Gateway() {
    const auto routes = kernel().defaultRoutes(AF_INET6);
    if (!routes) {
        logMessage(levelError, "Error receiving data from socket");
        return false;
    }
    std::optional<RouteInfo> best;
    for (const RouteInfo& route : *routes) {
        if (route.type != RTN_UNICAST || leadsIntoTunnel(route, *routes)) continue;
        if (!route.gateway && route.outputInterface == 0) continue;
        if (!best || route.priority < best->priority) best = route;
    }
    if (best) state().ipv6Gateway = rememberedRoute(*best);
    return true;
}

bool deviceUp(const std::string& device) {
    util::unique_fd probe(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq request{};
    std::strncpy(request.ifr_name, device.c_str(), IFNAMSIZ - 1);
    return probe && ::ioctl(probe.get(), SIOCGIFFLAGS, &request) == 0 &&
           (request.ifr_flags & IFF_UP) != 0;
}

bool samePrefix(const netlink::Address& a, const sockaddr* address, const sockaddr* mask) {
    if (address == nullptr || mask == nullptr || address->sa_family != a.family) return false;
    const std::size_t size = netlink::Address::size(a.family);
    const auto* addressBytes = a.family == AF_INET6
                                   ? reinterpret_cast<const unsigned char*>(
                                         &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr)
                                   : reinterpret_cast<const unsigned char*>(
                                         &reinterpret_cast<const sockaddr_in*>(address)->sin_addr);
    const auto* maskBytes = a.family == AF_INET6
                                ? reinterpret_cast<const unsigned char*>(
                                      &reinterpret_cast<const sockaddr_in6*>(mask)->sin6_addr)
                                : reinterpret_cast<const unsigned char*>(
                                      &reinterpret_cast<const sockaddr_in*>(mask)->sin_addr);
    for (std::size_t i = 0; i < size; ++i) {
        if ((a.bytes[i] & maskBytes[i]) != (addressBytes[i] & maskBytes[i])) return false;
    }
    return true;
}

// Whether a gateway lies in a prefix of the device's addresses. A link-local one always does.
bool onLink(const netlink::Address& gateway, const std::string& device) {
    if (gateway.isLinkLocal6()) return true;
    ifaddrs* all = nullptr;
    if (::getifaddrs(&all) != 0) return true;  // cannot tell: keep what is remembered
    bool found = false;
    for (const ifaddrs* i = all; i != nullptr && !found; i = i->ifa_next) {
        found = device == i->ifa_name && samePrefix(gateway, i->ifa_addr, i->ifa_netmask);
    }
    ::freeifaddrs(all);
    return found;
}

// A remembered route that can no longer be the way out: its device is gone or down, or its
// gateway is no longer on the device's link (the device joined another network).
bool stale(const DefaultRoute& route) {
    if (route.device.empty()) return false;
    if (::if_nametoindex(route.device.c_str()) == 0 || !deviceUp(route.device)) return true;
    return route.gateway && !onLink(*route.gateway, route.device);
}

bool intoTunnel(const DefaultRoute& route) {
    const auto routes = kernel().defaultRoutes(route.family).value_or(std::vector<RouteInfo>{});
    RouteInfo info;
    info.family = route.family;
    info.gateway = route.gateway;
    if (!route.device.empty()) info.outputInterface = ::if_nametoindex(route.device.c_str());
    return leadsIntoTunnel(info, routes);
}

// Whether host routes through `a` and `b` leave the same way.
bool sameWay(const DefaultRoute& a, const DefaultRoute& b) {
    return a.gateway == b.gateway && (a.device.empty() || b.device.empty() || a.device == b.device);
}

// The remembered route of a family that the host would prefer: the lowest metric.
std::optional<DefaultRoute> preferred(int family) {
    std::optional<DefaultRoute> best;
    for (const DefaultRoute& route : state().removedRoutes) {
        if (route.family == family && (!best || route.metric < best->metric)) best = route;
    }
    return best;
}

}  // namespace

void FollowNetwork(const DefaultRoute& route) {
    if (intoTunnel(route)) return;
    NetworkGuard guard;
    State& s = state();
    std::erase_if(s.removedRoutes,
                  [&](const DefaultRoute& r) { return r.family == route.family && stale(r); });
    rememberRoute(s.removedRoutes, route);
    auto& gateway = route.family == AF_INET6 ? s.ipv6Gateway : s.ipv4Gateway;
    const auto best = preferred(route.family);
    const bool moved = !gateway || !sameWay(*gateway, *best);
    gateway = best;
    saveState();
    if (!moved) return;
    logMessage(core::levelInfo, "The network changed: the %s gateway is now %s",
               netlink::familyName(route.family), routeWords(*best).c_str());
    MoveHostRoutes(route.family);
}

int RetrieveDefaultRoutes() {
    NetworkGuard guard;
    const std::optional<std::string> table = readProcNetRoute();
    if (!table) return 1;
    const auto routes4 = kernel().defaultRoutes(AF_INET).value_or(std::vector<RouteInfo>{});
    saveIpv4Gateway(rtnetlink::scanProcNetRoute(*table, tunnelSkip(routes4)), routes4);
    const bool ipv6 = retrieveIpv6Gateway();
    saveState();
    if (!ipv6) return state().ipv4Gateway ? 0 : 1;
    return 0;
}

int CheckForIpv6Environment() {
    NetworkGuard guard;
    const State& s = state();
    if (!s.ipv4Gateway && !s.ipv6Gateway && RetrieveDefaultRoutes() != 0) {
        logMessage(core::levelWarning, "Error Retrieving Default Routes for IPv6 Check.");
        return 0;
    }
    return s.ipv6Gateway ? 1 : 0;
}

bool HasSavedGateway() {
    NetworkGuard guard;
    return state().ipv4Gateway || state().ipv6Gateway;
}

void FreeDefaultRoutes() {
    NetworkGuard guard;
    state().ipv4Gateway.reset();
    state().ipv6Gateway.reset();
    state().removedRoutes.clear();
    saveState();
}

}  // namespace routing
