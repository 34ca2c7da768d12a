#include "routing/state.h"

#include <net/if.h>

#include <algorithm>

#include "routing/kernel.h"
#include "routing/router_advertisements.h"
#include "routing/routing.h"
#include "routing/rtnetlink.h"
#include "routing/runner.h"
#include "util/no_destructor.h"

namespace routing {

State& state() {
    static State instance;
    return instance;
}

Kernel systemKernel() {
    return Kernel{
        .run = spawnCommand,
        .defaultRoutes = rtnetlink::dumpDefaultRoutes,
        .tableDefaults = rtnetlink::dumpTableDefaults,
        .openWatchSocket = rtnetlink::openRouteWatchSocket,
        .change = rtnetlink::exchangeChange,
        .rules = rtnetlink::dumpRules,
        .hasIpv6 = rtnetlink::kernelHasIpv6,
        .addresses = netlink::dumpAddresses,
        .routerAdvertisements = router_advertisements::readSettings,
        .solicitRouters = router_advertisements::solicit,
        .routeDevice =
            [](const netlink::Address& address) {
                const std::optional<unsigned> index = netlink::routeInterface(address);
                return index ? netlink::device(*index) : std::nullopt;
            },
    };
}

Kernel& kernel() {
    static util::NoDestructor<Kernel> instance(systemKernel());
    return instance.get();
}

void setTunnelAddress(int family, std::optional<std::string> text) {
    State& s = state();
    std::lock_guard guard(s.tunnelLock);
    (family == AF_INET6 ? s.tunnelAddress6 : s.tunnelAddress) = std::move(text);
}

std::optional<std::string> tunnelAddressCopy(int family) {
    State& s = state();
    std::lock_guard guard(s.tunnelLock);
    return family == AF_INET6 ? s.tunnelAddress6 : s.tunnelAddress;
}

bool setTunnelDevice(std::optional<std::string> name) {
    State& s = state();
    std::lock_guard guard(s.tunnelLock);
    if (!name) {
        const bool had = !s.tunnelDevices.empty();
        s.tunnelDevices.clear();
        return had;
    }
    if (std::find(s.tunnelDevices.begin(), s.tunnelDevices.end(), *name) != s.tunnelDevices.end())
        return false;
    s.tunnelDevices.push_back(*name);
    return true;
}

std::vector<std::string> Tunnel::names() const {
    std::vector<std::string> names;
    for (const TunnelDevice& device : devices)
        names.push_back(device.name);
    return names;
}

std::vector<unsigned> Tunnel::indexes() const {
    std::vector<unsigned> indexes;
    for (const TunnelDevice& device : devices) {
        if (device.index != 0) indexes.push_back(device.index);
    }
    return indexes;
}

Tunnel CurrentTunnel() {
    const State& s = state();
    std::lock_guard guard(s.tunnelLock);
    Tunnel tunnel{s.tunnelAddress, s.tunnelAddress6, {}};
    // Recorded by name: OpenVPN makes the device anew under the same name, with a new index.
    for (const std::string& name : s.tunnelDevices)
        tunnel.devices.push_back({name, ::if_nametoindex(name.c_str())});
    return tunnel;
}

std::optional<TunnelDevice> TunnelDeviceFor(std::string_view address) {
    const std::optional<netlink::Address> parsed = netlink::Address::parseAny(address);
    const std::optional<netlink::Device> device =
        parsed ? kernel().routeDevice(*parsed) : std::nullopt;
    if (!device || !netlink::isTunnelType(device->type)) return std::nullopt;
    return TunnelDevice{device->name, device->index};
}

std::optional<TunnelDevice> NoteTunnelDevice(std::string_view address) {
    const std::optional<TunnelDevice> device = TunnelDeviceFor(address);
    if (!device) return std::nullopt;
    NetworkGuard guard;
    if (setTunnelDevice(device->name)) saveState();
    return device;
}

void SetLanScope(core::Lan lan) {
    state().lan = lan;
}

core::Lan LanScope() {
    return state().lan;
}

namespace {

bool tunnelDevice(unsigned index) {
    char name[IF_NAMESIZE] = {};
    if (index == 0 || ::if_indextoname(index, name) == nullptr) return false;
    const State& s = state();
    std::lock_guard guard(s.tunnelLock);
    return std::find(s.tunnelDevices.begin(), s.tunnelDevices.end(), name) != s.tunnelDevices.end();
}

}  // namespace

std::string gatewayText(int family) {
    const auto& gateway = family == AF_INET6 ? state().ipv6Gateway : state().ipv4Gateway;
    if (!gateway) return {};
    return gateway->gateway ? gateway->gateway->text() : gateway->device;
}

std::string ipv4GatewayText() {
    return gatewayText(AF_INET);
}

std::string ipv6GatewayText() {
    return gatewayText(AF_INET6);
}

std::string gatewayWords(int family, bool routeForm) {
    const auto& gateway = family == AF_INET6 ? state().ipv6Gateway : state().ipv4Gateway;
    if (!gateway) return {};
    if (!gateway->gateway) return " dev " + gateway->device;
    std::string words = (routeForm ? " gw " : " via ") + gateway->gateway->text();
    if (gateway->gateway->isLinkLocal6() && !gateway->device.empty())
        words += " dev " + gateway->device;
    return words;
}

std::vector<std::string> hostRouteAddresses(int family) {
    const State& s = state();
    std::vector<std::string> addresses = family == AF_INET6 ? s.dnsAddresses6 : s.dnsAddresses;
    if (const auto& server = family == AF_INET6 ? s.serverAddress6 : s.serverAddress)
        addresses.push_back(*server);
    return addresses;
}

std::optional<RouteInfo> tunnelDefaultRoute(int family) {
    const auto tunnel = tunnelAddressCopy(family);
    const auto gateway = tunnel ? netlink::Address::parse(*tunnel, family) : std::nullopt;
    const auto routes = gateway ? kernel().defaultRoutes(family) : std::nullopt;
    if (!routes) return std::nullopt;
    for (const RouteInfo& route : *routes) {
        if (route.type == RTN_UNICAST && route.gateway == gateway) return route;
    }
    return std::nullopt;
}

bool leadsIntoTunnel(const RouteInfo& route, const std::vector<RouteInfo>& all) {
    if (tunnelDevice(route.outputInterface)) return true;
    const auto text = tunnelAddressCopy(route.family);
    const auto tunnel = text ? netlink::Address::parse(*text, route.family) : std::nullopt;
    if (!tunnel) return false;
    if (route.gateway == tunnel) return true;
    return route.outputInterface != 0 &&
           std::any_of(all.begin(), all.end(), [&](const RouteInfo& other) {
               return other.gateway == tunnel && other.outputInterface == route.outputInterface;
           });
}

void InitRoutingVariablesOs() {
    NetworkGuard guard;
    State& s = state();
    s.ipv4Gateway.reset();
    s.ipv6Gateway.reset();
    s.removedRoutes.clear();
    s.modesRecord = {};
    s.resolvedLink.reset();
    s.unmanagedDevices.clear();
    s.serverAddress.reset();
    s.serverAddress6.reset();
    s.dnsAddresses.clear();
    s.dnsAddresses6.clear();
    s.tunnelRoute.reset();
    s.tunnelRoute6.reset();
    s.killSwitchHeld = false;
    setTunnelAddress(AF_INET, std::nullopt);
    setTunnelAddress(AF_INET6, std::nullopt);
    setTunnelDevice(std::nullopt);
}

}  // namespace routing
