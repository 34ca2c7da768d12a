// Routes to the VPN server and the DNS servers through the physical gateway, and the default
// routes through the tunnel gateway.

#include <net/if.h>

#include <algorithm>
#include <new>

#include "core/log.h"
#include "routing/kill_switch.h"
#include "routing/routing.h"
#include "routing/runner.h"
#include "routing/state.h"
#include "routing/state_file.h"
#include "util/printable.h"

namespace routing {
namespace {

using core::levelDebug;
using core::levelError;
using core::levelInfo;
using core::logMessage;

// The client's text when it is an address of `family`. Nothing else ever reaches a command.
std::optional<std::string> addressText(std::string_view text, int family, const char* what) {
    if (netlink::Address::parse(text, family)) return std::string(text);
    logMessage(levelError, "Refusing %s '%s': not an %s address", what,
               util::printable(text).c_str(), family == AF_INET6 ? "IPv6" : "IPv4");
    return std::nullopt;
}

bool hasGateway(int family) {
    return family == AF_INET6 ? state().ipv6Gateway.has_value() : state().ipv4Gateway.has_value();
}

// The command adding a host route to `address` the way of the physical gateway.
std::string hostRouteCommand(int family, bool ip, const std::string& address) {
    if (family == AF_INET6) return "ip -6 route add " + address + gatewayWords(AF_INET6);
    return (ip ? "ip route add " : "route add ") + address + gatewayWords(AF_INET, !ip);
}

std::string hostRouteRemoval(int family, bool ip, const std::string& address) {
    if (family == AF_INET6) return formatCommand("ip -6 route del %s", address.c_str());
    return formatCommand(ip ? "ip route del %s" : "route del %s", address.c_str());
}

struct ServerMessages {
    const char* noGateway;
    const char* noAddress;
    const char* noMemory;
    const char* adding;
    const char* failure;
};

constexpr ServerMessages serverMessages4{
    "Asked to set route for server but I know no gateway.",
    "Asked to set route for server but received no address.",
    "Could not allocate memory to store server address.",
    "Adding IPv4 route to %s using %s as gateway\n",
    "Error %d setting route to server address.",
};
constexpr ServerMessages serverMessages6{
    "Asked to set route for server but I know no gateway (IPv6).",
    "Asked to set route for server but received no address (IPv6).",
    "Could not allocate memory to store server address (IPv6).",
    "Adding IPv6 route to %s using %s as gateway\n",
    "Error %d setting route to server address (IPv6).",
};

struct DnsMessages {
    const char* noGateway;
    const char* noAddress;
    const char* noMemory;
    const char* alreadySet;
    const char* adding;
    const char* failure;
    const char* removing;
};

constexpr DnsMessages dnsMessages4{
    "Asked to set route for DNS server but I know no gateway.",
    "Asked to set route for DNS server but received no address.",
    "Could not allocate memory to store DNS server address.",
    "Route to DNS server address %s already set.",
    "Adding IPv4 route to DNS %s using %s as gateway\n",
    "Error %d setting route to server address.",
    "Removing IPv4 route to DNS %s\n",
};
constexpr DnsMessages dnsMessages6{
    "Asked to set route for DNS server but I know no gateway (IPv6).",
    "Asked to set route for DNS server but received no address (IPv6).",
    "Could not allocate memory to store DNS server address (IPv6).",
    "Route to DNS server address %s already set (IPv6).",
    "Adding IPv6 route to DNS %s using %s as gateway\n",
    "Error %d setting route to server address (IPv6).",
    "Removing IPv6 route to DNS %s\n",
};

// The format strings above are chosen from tables; their arguments match every entry.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"

int setRouteForServer(int family, std::string_view address) {
    const ServerMessages& m = family == AF_INET6 ? serverMessages6 : serverMessages4;
    std::optional<std::string>& stored =
        family == AF_INET6 ? state().serverAddress6 : state().serverAddress;
    if (!hasGateway(family)) {
        logMessage(levelError, m.noGateway);
        return 0;
    }
    if (address.empty()) {
        logMessage(levelError, m.noAddress);
        return 0;
    }
    std::optional<std::string> text = addressText(address, family, "server address");
    if (!text) return 0;
    // The route to an earlier server would otherwise outlive every close.
    if (stored && *stored != *text) runCommand(hostRouteRemoval(family, useIpTool(), *stored));
    stored = std::move(text);
    saveState();
    const bool ip = useIpTool();
    logMessage(levelDebug, m.adding, stored->c_str(), gatewayText(family).c_str());
    const int status = runCommand(hostRouteCommand(family, ip, *stored));
    if (status != 0) logMessage(levelError, m.failure, status);
    return status == 0 ? 1 : 0;
}

int setRouteForDns(int family, std::string_view address) {
    const DnsMessages& m = family == AF_INET6 ? dnsMessages6 : dnsMessages4;
    std::vector<std::string>& list =
        family == AF_INET6 ? state().dnsAddresses6 : state().dnsAddresses;
    if (!hasGateway(family)) {
        logMessage(levelError, m.noGateway);
        return -1;
    }
    if (address.empty()) {
        logMessage(levelError, m.noAddress);
        return -1;
    }
    const std::optional<std::string> text = addressText(address, family, "DNS server address");
    if (!text) return -1;
    if (std::find(list.begin(), list.end(), *text) != list.end()) {
        logMessage(levelInfo, m.alreadySet, text->c_str());
        return 0;
    }
    try {
        list.reserve(list.size() + 1);
    } catch (const std::bad_alloc&) {
        logMessage(levelError, m.noMemory);
        return -1;
    }
    // Recorded before the route exists, so that a restart knows of it whatever became of it;
    // forgotten again when it could not be added.
    list.push_back(*text);
    saveState();
    const bool ip = useIpTool();
    logMessage(levelDebug, m.adding, text->c_str(), gatewayText(family).c_str());
    const int status = runCommand(hostRouteCommand(family, ip, *text));
    if (status != 0) {
        list.pop_back();
        saveState();
        logMessage(levelError, m.failure, status);
    }
    return status;
}

void unsetRoutesForDns(int family) {
    const DnsMessages& m = family == AF_INET6 ? dnsMessages6 : dnsMessages4;
    std::vector<std::string>& list =
        family == AF_INET6 ? state().dnsAddresses6 : state().dnsAddresses;
    if (list.empty()) return;
    const bool ip = useIpTool();
    for (const std::string& address : list) {
        logMessage(levelDebug, m.removing, address.c_str());
        runCommand(hostRouteRemoval(family, ip, address));
    }
    list.clear();
    saveState();
}

#pragma GCC diagnostic pop

// Records the tunnel's new default route of `family` as the kernel holds it, and the device
// it went through.
void recordTunnelRoute(int family) {
    const auto route = tunnelDefaultRoute(family);
    char name[IF_NAMESIZE] = {};
    if (!route || ::if_indextoname(route->outputInterface, name) == nullptr) return;
    (family == AF_INET6 ? state().tunnelRoute6 : state().tunnelRoute) = rememberedRoute(*route);
    setTunnelDevice(std::string(name));
    saveState();
}

}  // namespace

int EnableRouteForIpv4(std::string_view address) {
    NetworkGuard guard;
    // The tunnel's route leads through no physical gateway: one of either family tells that
    // the network is known, so an IPv4 tunnel over an IPv6-only uplink gets its route too.
    if (!HasSavedGateway()) {
        logMessage(levelInfo, "Could not enable IPv4 Route - no default routes stored.");
        return 0;
    }
    std::optional<std::string> text = addressText(address, AF_INET, "tunnel gateway");
    if (!text) return 0;
    // Stored and recorded before the route exists, so that the route watcher that sees it
    // leaves it alone and a restart never takes it for a physical one.
    setTunnelAddress(AF_INET, *text);
    saveState();
    const bool ip = useIpTool();
    logMessage(levelDebug, "Setting a default IPv4 route using tunnel gateway %s\n", text->c_str());
    const std::string command = ip ? formatCommand("ip route add default via %s", text->c_str())
                                   : formatCommand("route add default gw %s", text->c_str());
    logMessage(levelInfo, "%s", command.c_str());
    const int status = runCommand(command);
    logMessage(levelInfo, "Has returned a result of %d", status);
    if (status != 0) return 0;
    recordTunnelRoute(AF_INET);
    copyTunnelRoute(AF_INET);
    return 1;
}

int EnableRouteForIpv6(std::string_view address) {
    NetworkGuard guard;
    if (!HasSavedGateway()) return 0;
    std::optional<std::string> text = addressText(address, AF_INET6, "tunnel gateway");
    if (!text) return 0;
    setTunnelAddress(AF_INET6, *text);
    saveState();
    logMessage(levelDebug, "Setting a default IPv6 route using tunnel gateway %s\n", text->c_str());
    if (runCommand(formatCommand("ip -6 route add default via %s", text->c_str())) != 0) return 0;
    recordTunnelRoute(AF_INET6);
    copyTunnelRoute(AF_INET6);
    return 1;
}

int SetRouteForServer(std::string_view address) {
    NetworkGuard guard;
    return setRouteForServer(AF_INET, address);
}

int SetRouteForServer6(std::string_view address) {
    NetworkGuard guard;
    return setRouteForServer(AF_INET6, address);
}

void DisableCustomRoutes() {
    NetworkGuard guard;
    State& s = state();
    const bool ip = useIpTool();
    if (s.serverAddress) {
        logMessage(levelDebug, "Removing IPv4 route to %s\n", s.serverAddress->c_str());
        runCommand(hostRouteRemoval(AF_INET, ip, *s.serverAddress));
        s.serverAddress.reset();
    }
    if (s.serverAddress6) {
        logMessage(levelDebug, "Removing IPv6 route to %s\n", s.serverAddress6->c_str());
        runCommand(hostRouteRemoval(AF_INET6, ip, *s.serverAddress6));
        s.serverAddress6.reset();
    }
    saveState();
    // The tunnel's routes are default routes: they are removed as such.
    if (const auto tunnel = tunnelAddressCopy(AF_INET)) {
        logMessage(levelDebug, "Removing IPv4 tunneled route %s\n", tunnel->c_str());
        runCommand(ip ? formatCommand("ip route del default via %s", tunnel->c_str())
                      : formatCommand("route del default gw %s", tunnel->c_str()));
        setTunnelAddress(AF_INET, std::nullopt);
        removeTunnelRoute(AF_INET, *tunnel);
    }
    if (const auto tunnel = tunnelAddressCopy(AF_INET6)) {
        logMessage(levelDebug, "Removing IPv6 tunneled route %s\n", tunnel->c_str());
        runCommand(formatCommand("ip -6 route del default via %s", tunnel->c_str()));
        setTunnelAddress(AF_INET6, std::nullopt);
        removeTunnelRoute(AF_INET6, *tunnel);
    }
    s.tunnelRoute.reset();
    s.tunnelRoute6.reset();
    setTunnelDevice(std::nullopt);
    saveState();
}

void MoveHostRoutes(int family) {
    NetworkGuard guard;
    const bool ip = useIpTool();
    for (const std::string& address : hostRouteAddresses(family)) {
        // The old route may have gone with its device; then only the new one is added.
        runCommand(hostRouteRemoval(family, ip, address));
        const int status = runCommand(hostRouteCommand(family, ip, address));
        if (status != 0) {
            logMessage(levelError, "Error %d moving the route to %s to the new gateway", status,
                       address.c_str());
        }
    }
}

int SetRouteForDns(std::string_view address) {
    NetworkGuard guard;
    return setRouteForDns(AF_INET, address);
}

int SetRouteForDns6(std::string_view address) {
    NetworkGuard guard;
    return setRouteForDns(AF_INET6, address);
}

void UnsetRoutesForDns() {
    NetworkGuard guard;
    unsetRoutesForDns(AF_INET);
}

void UnsetRoutesForDns6() {
    NetworkGuard guard;
    unsetRoutesForDns(AF_INET6);
}

}  // namespace routing
