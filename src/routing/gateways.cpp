// Discovery of the physical default gateways.

#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <linux/rtnetlink.h>

#include <algorithm>

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

bool inPrefix(const netlink::Address& a, const sockaddr* address, const sockaddr* mask) {
    if (address == nullptr || mask == nullptr || address->sa_family != a.family) return false;
    const auto bytes = [&](const sockaddr* s) {
        return a.family == AF_INET6 ? reinterpret_cast<const unsigned char*>(
                                          &reinterpret_cast<const sockaddr_in6*>(s)->sin6_addr)
                                    : reinterpret_cast<const unsigned char*>(
                                          &reinterpret_cast<const sockaddr_in*>(s)->sin_addr);
    };
    const unsigned char* addressBytes = bytes(address);
    const unsigned char* maskBytes = bytes(mask);
    for (std::size_t i = 0; i < netlink::Address::size(a.family); ++i) {
        if ((a.bytes[i] & maskBytes[i]) != (addressBytes[i] & maskBytes[i])) return false;
    }
    return true;
}

// The host's interfaces and addresses at one moment, read once, to judge remembered routes.
class Links {
  public:
    Links() : readable_(::getifaddrs(&all_) == 0) {}
    ~Links() {
        if (readable_) ::freeifaddrs(all_);
    }
    Links(const Links&) = delete;
    Links& operator=(const Links&) = delete;

    // A route that cannot be the way out: its device is gone, down or without a carrier, or
    // its gateway no longer lies on the device's link (the device joined another network).
    bool usable(const DefaultRoute& route) const {
        if (route.device.empty() || !readable_) return true;  // cannot tell: keep it
        bool present = false,
             onLink = !route.gateway || route.onlink || route.gateway->isLinkLocal6();
        for (const ifaddrs* i = all_; i != nullptr; i = i->ifa_next) {
            if (route.device != i->ifa_name) continue;
            if ((i->ifa_flags & IFF_UP) == 0 || (i->ifa_flags & IFF_RUNNING) == 0) return false;
            present = true;
            onLink = onLink || inPrefix(*route.gateway, i->ifa_addr, i->ifa_netmask);
        }
        return present && onLink;
    }

  private:
    ifaddrs* all_ = nullptr;
    bool readable_;
};

bool intoTunnel(const DefaultRoute& route) {
    if (!tunnelAddressCopy(route.family)) return false;
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

// Applies the rules of followNetwork to what is remembered, and records the outcome; returns
// the gateway the host routes must move to, if any.
std::optional<DefaultRoute> recordNetwork(const DefaultRoute& route) {
    NetworkGuard guard;
    State& s = state();
    auto& gateway = route.family == AF_INET6 ? s.ipv6Gateway : s.ipv4Gateway;
    std::optional<Links> links;  // read at the first look, and only then
    const NetworkChange change =
        followNetwork(s.removedRoutes, gateway, route, [&](const DefaultRoute& r) {
            if (!links) links.emplace();
            return links->usable(r);
        });
    if (!change.remembered && !change.gateway) return std::nullopt;
    const std::optional<DefaultRoute> before = gateway;
    if (change.gateway) gateway = change.gateway;
    saveState();
    if (!change.gateway || (before && sameWay(*before, *change.gateway))) return std::nullopt;
    return change.gateway;
}

}  // namespace

int FollowNetwork(const DefaultRoute& route, const std::function<int()>& remove) {
    if (intoTunnel(route)) return remove();
    // Recorded before the route goes, so that a kill in between leaves it remembered.
    const std::optional<DefaultRoute> moveTo = recordNetwork(route);
    const int status = remove();
    if (!moveTo) return status;
    logMessage(core::levelInfo, "The network changed: the %s gateway is now %s",
               netlink::familyName(route.family), routeWords(*moveTo).c_str());
    MoveHostRoutes(route.family);
    return status;
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
    // The removed routes that remain did not come back when they were reopened: they stay
    // recorded until they do.
    saveState();
}

}  // namespace routing
