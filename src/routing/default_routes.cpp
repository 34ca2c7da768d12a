// Removal and restoration of the default routes, and the IPv6 blackhole.

#include <linux/rtnetlink.h>

#include <algorithm>

#include "core/log.h"
#include "routing/kernel.h"
#include "routing/routing.h"
#include "routing/runner.h"
#include "routing/state.h"

namespace routing {
namespace {

using core::levelDebug;
using core::levelInfo;
using core::logMessage;

// Deletions of one family are repeated at most this often: a host may have several uplinks.
constexpr int maxDeletionRounds = 16;

bool holdsUnicastDefault(const std::vector<RouteInfo>& routes) {
    return std::any_of(routes.begin(), routes.end(),
                       [](const RouteInfo& r) { return r.type == RTN_UNICAST; });
}

// Runs the family's deletion until the main table holds no unicast default route of it. The
// kernel deletes the default route of the lowest metric first, so the blackhole, which has the
// highest, is never reached while a unicast one is left.
void removeDefaultRoutes(int family, const std::string& deletion) {
    for (int round = 0; round < maxDeletionRounds; ++round) {
        const auto routes = kernel().defaultRoutes(family);
        if (routes && !holdsUnicastDefault(*routes)) return;
        // When the table cannot be read, the deletion runs once.
        if (runCommand(deletion) != 0 || !routes) return;
    }
}

const char* ipv4Deletion(bool ip) {
    return ip ? "ip route del default" : "route del default";
}
constexpr const char* ipv6Deletion = "ip -6 route del default";

}  // namespace

void CloseDefaultRoutes() {
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
    if (!state().ipv6Gateway) {
        logMessage(levelInfo, "Could not find default IPv6 routes, closing none.");
        return;
    }
    logMessage(levelDebug, "Removing all IPv6 routes using \"ip\"\n");
    removeDefaultRoutes(AF_INET6, ipv6Deletion);
}

void ReopenIpv4Routes() {
    const bool ip = useIpTool();
    if (!state().ipv4Gateway) return;
    const std::string gateway = ipv4GatewayText();
    logMessage(levelDebug, "Reopening IPv4 route using gateway %s\n", gateway.c_str());
    runCommand(ip ? formatCommand("ip route add default via %s", gateway.c_str())
                  : formatCommand("route add default gw %s", gateway.c_str()));
}

void ReopenIpv6Routes() {
    if (!state().ipv6Gateway) return;
    const std::string gateway = ipv6GatewayText();
    logMessage(levelDebug, "Reopening IPv6 route using gateway %s\n", gateway.c_str());
    // The route comes back at the metric it had, not at the ip program's default.
    const std::uint32_t metric = state().ipv6Gateway->metric;
    const std::string metricWords = metric != 0 ? " metric " + std::to_string(metric) : "";
    runCommand(formatCommand("ip -6 route add default via %s%s%s", gateway.c_str(),
                             ipv6GatewayDevice().c_str(), metricWords.c_str()));
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
