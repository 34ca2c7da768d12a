// Removal and restoration of the default routes, and the IPv6 blackhole.

#include <linux/rtnetlink.h>
#include <net/if.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/log.h"
#include "routing/kernel.h"
#include "routing/routing.h"
#include "routing/runner.h"
#include "routing/state.h"
#include "routing/state_file.h"

namespace routing {
namespace {

using core::levelDebug;
using core::levelInfo;
using core::logMessage;

// Deletions of one family are repeated at most this often: a host may have several uplinks.
constexpr int maxDeletionRounds = 16;

std::vector<RouteInfo> foreignDefaults(const std::vector<RouteInfo>& routes) {
    std::vector<RouteInfo> foreign;
    std::copy_if(
        routes.begin(), routes.end(), std::back_inserter(foreign),
        [&](const RouteInfo& r) { return r.type == RTN_UNICAST && !leadsIntoTunnel(r, routes); });
    return foreign;
}

// Deletes exactly this route: the kernel would otherwise take the lowest metric first, which
// may be the tunnel's own.
int removeExactly(const RouteInfo& route) {
    // What tells the route from others: any protocol, source or lifetime matches.
    const DefaultRoute whole = rememberedRoute(route);
    DefaultRoute words;
    words.family = whole.family;
    words.gateway = whole.gateway;
    words.device = whole.device;
    words.metric = whole.metric;
    words.scope = whole.scope;
    return runCommand(
        (route.family == AF_INET6 ? "ip -6 route del default " : "ip route del default ") +
        routeWords(words));
}

// Runs the family's deletion until the main table holds no foreign unicast default route,
// remembering each one whole before it goes. The kernel deletes the default route of the
// lowest metric first, so the blackhole, which has the highest, is never reached while a
// unicast one is left.
void removeDefaultRoutes(int family, const std::string& deletion) {
    for (int round = 0; round < maxDeletionRounds; ++round) {
        const auto routes = kernel().defaultRoutes(family);
        const auto foreign = routes ? foreignDefaults(*routes) : std::vector<RouteInfo>{};
        if (routes && foreign.empty()) return;
        for (const RouteInfo& route : foreign)
            rememberRoute(state().removedRoutes, rememberedRoute(route));
        saveState();
        const bool tunnelUp = routes && routes->size() > foreign.size() &&
                              std::any_of(routes->begin(), routes->end(), [&](const RouteInfo& r) {
                                  return r.type == RTN_UNICAST && leadsIntoTunnel(r, *routes);
                              });
        // When the table cannot be read, the deletion runs once.
        const int status = tunnelUp ? removeExactly(foreign.front()) : runCommand(deletion);
        if (status != 0 || !routes) return;
    }
}

// Sends the request that puts a route back; 0 when it is back (or was there already), else a
// negative errno.
int restore(const DefaultRoute& route, unsigned interface, std::optional<std::uint32_t> lifetime) {
    int code = kernel().change(restoreRequest(route, interface, lifetime, true));
    if (code == -EINVAL && route.source) {
        // The host no longer has the source address: the route comes back without it.
        logMessage(core::levelWarning,
                   "The default route %s (%s) comes back without its source address, which "
                   "the host no longer has",
                   routeWords(route).c_str(), netlink::familyName(route.family));
        code = kernel().change(restoreRequest(route, interface, lifetime, false));
    }
    return code == -EEXIST ? 0 : code;
}

// What became of a route to be put back.
enum class Reopened {
    Back,    // it is in the table again, or the kernel learns it again
    Gone,    // it can never come back: its device or its lifetime is gone
    Failed,  // it could not come back now: it stays recorded, to be put back later
};

// Puts back one remembered route, or says why not.
Reopened reopen(const DefaultRoute& route) {
    const bool v6 = route.family == AF_INET6;
    const char* family = netlink::familyName(route.family);
    const unsigned interface = route.device.empty() ? 0 : ::if_nametoindex(route.device.c_str());
    if (!route.device.empty() && interface == 0) {
        logMessage(core::levelWarning,
                   "Not restoring the default route %s (%s): its device is gone",
                   routeWords(route).c_str(), family);
        return Reopened::Gone;
    }
    std::optional<std::uint32_t> lifetime;
    if (route.expiresAt) {
        const std::int64_t left = *route.expiresAt - bootSeconds();
        if (left <= 0) {
            logMessage(levelInfo,
                       "Not restoring the default route %s (%s): the lifetime its router gave "
                       "it has run out",
                       routeWords(route).c_str(), family);
            return Reopened::Gone;
        }
        lifetime = static_cast<std::uint32_t>(std::min<std::int64_t>(left, 0xffffffffLL));
    }
    const std::string gateway = route.gateway ? route.gateway->text() : route.device;
    logMessage(
        levelDebug,
        v6 ? "Reopening IPv6 route using gateway %s\n" : "Reopening IPv4 route using gateway %s\n",
        gateway.c_str());
    const int code = restore(route, interface, lifetime);
    if (code == 0) return Reopened::Back;
    if (code == -ENETDOWN || code == -ENETUNREACH || code == -EHOSTUNREACH) {
        // The host roamed away from it: its device is down, or its gateway off the link.
        logMessage(core::levelWarning,
                   "Not restoring the default route %s (%s): its gateway cannot be reached",
                   routeWords(route).c_str(), family);
    } else {
        logMessage(core::levelError, "Error %d (%s) restoring the default route %s (%s)", -code,
                   std::strerror(-code), routeWords(route).c_str(), family);
    }
    return Reopened::Failed;
}

// The routes to put back for a family: those removed, or else the saved gateway's.
std::vector<DefaultRoute> routesToReopen(int family) {
    const State& s = state();
    std::vector<DefaultRoute> routes;
    std::copy_if(s.removedRoutes.begin(), s.removedRoutes.end(), std::back_inserter(routes),
                 [&](const DefaultRoute& r) { return r.family == family; });
    const auto& gateway = family == AF_INET6 ? s.ipv6Gateway : s.ipv4Gateway;
    if (routes.empty() && gateway) routes.push_back(*gateway);
    return routes;
}

// Whether the kernel learns `route` again from its router's next advertisement, as it learnt
// it at first.
bool relearnable(const DefaultRoute& route) {
    if (route.family != AF_INET6 || route.protocol != RTPROT_RA || route.device.empty())
        return false;
    const auto settings = kernel().routerAdvertisements(route.device);
    return settings && kernelLearnsDefaultRouters(*settings);
}

// Has the routers on `device` advertise now rather than at their next turn, minutes away.
void solicitRouters(const std::string& device) {
    const unsigned interface = ::if_nametoindex(device.c_str());
    const int code = interface == 0 ? -ENODEV : kernel().solicitRouters(interface);
    if (code != 0) {
        logMessage(core::levelWarning,
                   "Could not ask the routers on %s to advertise: %s; their routes come back "
                   "with their next advertisement",
                   device.c_str(), std::strerror(-code));
    }
}

// Sent over rtnetlink, a request each: no program is spawned while the lock is held.
void reopenFamily(int family) {
    NetworkGuard guard;
    std::vector<std::string> soliciting;
    std::vector<DefaultRoute> kept;  // those that did not come back, to be put back later
    for (const DefaultRoute& route : routesToReopen(family)) {
        if (!relearnable(route)) {
            if (reopen(route) == Reopened::Failed) kept.push_back(route);
            continue;
        }
        logMessage(levelInfo,
                   "Leaving the default route %s (IPv6) for the kernel to learn again from its "
                   "router",
                   routeWords(route).c_str());
        if (std::ranges::find(soliciting, route.device) == soliciting.end())
            soliciting.push_back(route.device);
    }
    for (const std::string& device : soliciting)
        solicitRouters(device);
    // Only what came back is forgotten: the host may be left without a default route, and
    // the record is what puts it back at the next reopening or start.
    std::erase_if(state().removedRoutes, [&](const DefaultRoute& r) { return r.family == family; });
    for (const DefaultRoute& route : kept)
        rememberRoute(state().removedRoutes, route);
    if (!kept.empty()) {
        logMessage(core::levelWarning,
                   "%zu default route(s) (%s) did not come back; they stay recorded and are put "
                   "back at the next close, disablelockdown: or start",
                   kept.size(), netlink::familyName(family));
    }
    saveState();
}

const char* ipv4Deletion(bool ip) {
    return ip ? "ip route del default" : "route del default";
}
constexpr const char* ipv6Deletion = "ip -6 route del default";

}  // namespace

void CloseDefaultRoutes() {
    NetworkGuard guard;
    const State& s = state();
    if (!s.ipv4Gateway && !s.ipv6Gateway) {
        logMessage(levelInfo, "No gateways yet known, trying to retrieve.");
        RetrieveDefaultRoutes();
        if (!s.ipv4Gateway && !s.ipv6Gateway) {
            logMessage(levelInfo, "Could not find default routes, closing none.");
            return;
        }
    }
    const bool ip = useIpTool();
    logMessage(levelDebug,
               ip ? "Removing all routes using \"ip\"\n" : "Removing all routes using \"route\"\n");
    removeDefaultRoutes(AF_INET, ipv4Deletion(ip));
    removeDefaultRoutes(AF_INET6, ipv6Deletion);
}

void CloseIpv4Routes() {
    NetworkGuard guard;
    if (!state().ipv4Gateway) {
        logMessage(levelInfo, "Could not find default IPv4 routes, closing none.");
        return;
    }
    const bool ip = useIpTool();
    logMessage(levelDebug, ip ? "Removing all IPv4 routes using \"ip\"\n"
                              : "Removing all IPv4 routes using \"route\"\n");
    removeDefaultRoutes(AF_INET, ipv4Deletion(ip));
}

void CloseIpv6Routes() {
    NetworkGuard guard;
    if (!state().ipv6Gateway) {
        logMessage(levelInfo, "Could not find default IPv6 routes, closing none.");
        return;
    }
    logMessage(levelDebug, "Removing all IPv6 routes using \"ip\"\n");
    removeDefaultRoutes(AF_INET6, ipv6Deletion);
}

void ReopenIpv4Routes() {
    reopenFamily(AF_INET);
}

void ReopenIpv6Routes() {
    reopenFamily(AF_INET6);
}

bool DefaultRouteRemains() {
    for (const int family : {AF_INET, AF_INET6}) {
        const auto routes = kernel().defaultRoutes(family);
        if (routes && !foreignDefaults(*routes).empty()) return true;
    }
    return false;
}

void ReopenDefaultRoutes() {
    ReopenIpv4Routes();
    ReopenIpv6Routes();
}

int DisableIpv6() {
    logMessage(levelDebug, "Adding IPv6 blackhole\n");
    const auto routes = kernel().defaultRoutes(AF_INET6);
    if (routes && std::any_of(routes->begin(), routes->end(),
                              [](const RouteInfo& r) { return r.type == RTN_BLACKHOLE; })) {
        return 1;
    }
    // At the highest metric the blackhole catches only what no other default route carries,
    // and never collides with one.
    return runCommand("ip -6 route add blackhole default metric 4294967295") == 0 ? 1 : 0;
}

}  // namespace routing
