#include "routing/state.h"

#include <net/if.h>

#include "routing/kernel.h"
#include "routing/netlink.h"
#include "routing/routing.h"
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
        .defaultRoutes = netlink::dumpDefaultRoutes,
        .lookupIpv6Default = netlink::exchangeIpv6Lookup,
        .openWatchSocket = netlink::openRouteWatchSocket,
        .change = netlink::exchangeChange,
        .rules = netlink::dumpRules,
        .hasIpv6 = netlink::kernelHasIpv6,
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

std::string ipv4GatewayText() {
    const auto& gateway = state().ipv4Gateway;
    return gateway ? gateway->text() : std::string();
}

std::string ipv6GatewayText() {
    const auto& gateway = state().ipv6Gateway;
    return gateway ? gateway->address.text() : std::string();
}

std::string ipv6GatewayDevice() {
    const auto& gateway = state().ipv6Gateway;
    if (!gateway || !gateway->address.isLinkLocal6()) return {};
    char name[IF_NAMESIZE] = {};
    if (::if_indextoname(gateway->ifindex, name) == nullptr) return {};
    return std::string(" dev ") + name;
}

void InitRoutingVariablesOs() {
    State& s = state();
    s.ipv4Gateway.reset();
    s.ipv6Gateway.reset();
    s.serverAddress.reset();
    s.serverAddress6.reset();
    s.dnsAddresses.clear();
    s.dnsAddresses6.clear();
    s.killSwitchHeld = false;
    setTunnelAddress(AF_INET, std::nullopt);
    setTunnelAddress(AF_INET6, std::nullopt);
}

}  // namespace routing
