#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "routing/address.h"
#include "routing/watchers.h"

namespace routing {

struct Ipv6Gateway {
    Address address;
    unsigned ifindex = 0;  // commands through a link-local gateway must name its interface
    // The metric of the route that led there, restored with it; 0 when none was reported.
    std::uint32_t metric = 0;
};

// All state of the routing subsystem. The connection handlers serialise every operation that
// touches it; the route watchers read only the tunnel texts, under tunnelLock.
struct State {
    // The physical default gateways, saved before the default routes are removed.
    std::optional<Address> ipv4Gateway;
    std::optional<Ipv6Gateway> ipv6Gateway;
    // The client's texts, each checked to be an address of its family before it was stored.
    std::optional<std::string> serverAddress, serverAddress6;
    std::vector<std::string> dnsAddresses, dnsAddresses6;  // oldest first, no equal texts

    // Whether the kill switch's rules are meant to hold (lockdown, or a forced-mode connection).
    bool killSwitchHeld = false;
    // Set once the missing policy routing has been reported; the watchers may set it too.
    std::atomic<bool> policyRoutingMissing = false;

    std::mutex tunnelLock;  // guards the two tunnel texts
    std::optional<std::string> tunnelAddress, tunnelAddress6;

    // Last, so that they are stopped before anything they read goes away.
    RouteWatcher routeWatchThread4{AF_INET};
    RouteWatcher routeWatchThread6{AF_INET6};
};

State& state();

// Replaces a tunnel text under the tunnel lock.
void setTunnelAddress(int family, std::optional<std::string> text);
// A copy of a tunnel text, taken under the tunnel lock.
std::optional<std::string> tunnelAddressCopy(int family);

// The saved gateways rendered for commands and messages; empty when not saved.
std::string ipv4GatewayText();
std::string ipv6GatewayText();
// " dev IFNAME" when the saved IPv6 gateway is link-local, which the kernel needs named.
std::string ipv6GatewayDevice();

}  // namespace routing
