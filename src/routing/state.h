#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "netlink/address.h"
#include "routing/remembered_routes.h"
#include "routing/state_file.h"
#include "routing/watchers.h"

namespace routing {

// All state of the routing subsystem. The connection handlers serialise the operations; the
// route watchers change what networkLock guards under it and read the tunnel texts under
// tunnelLock. The watcher handles and killSwitchHeld belong to the handlers alone.
struct State {
    // Guards what a route watcher that follows the network changes or keeps beside the
    // connection handlers: the gateways, the remembered routes, the server and DNS texts, the
    // tunnel's routes and the state file. Taken after the modes' state lock, never around a
    // watcher's start or stop.
    std::recursive_mutex networkLock;
    // The physical default gateways: the routes through which server and DNS host routes go.
    std::optional<DefaultRoute> ipv4Gateway, ipv6Gateway;
    // Every default route the daemon removed and has not given back, oldest first.
    std::vector<DefaultRoute> removedRoutes;
    // The client's texts, each checked to be an address of its family before it was stored.
    std::optional<std::string> serverAddress, serverAddress6;
    std::vector<std::string> dnsAddresses, dnsAddresses6;  // oldest first, no equal texts
    // The tunnel's default routes as the kernel holds them once made: what the route watchers
    // put back while the tunnel's device exists. None from the close on.
    std::optional<DefaultRoute> tunnelRoute, tunnelRoute6;
    // The modes', dns's and desktop's parts, kept here only to be written to the state file with
    // routing's.
    ModesRecord modesRecord;
    std::optional<int> resolvedLink;
    std::vector<std::string> unmanagedDevices;

    // Whether the kill switch's rules are meant to hold (lockdown, or a forced-mode connection).
    // The handlers set it; the watchers read it when they repair the tunnel's rules.
    std::atomic<bool> killSwitchHeld = false;
    // lan= of the configuration, set once at start.
    core::Lan lan = core::Lan::Private;
    // Set once the missing policy routing has been reported; the watchers may set it too.
    std::atomic<bool> policyRoutingMissing = false;
    // Whether the latest write of the state file failed.
    std::atomic<bool> stateUnsaved = false;

    mutable std::mutex tunnelLock;  // guards the two tunnel texts and the tunnel's devices
    std::optional<std::string> tunnelAddress, tunnelAddress6;
    // The devices the tunnel's default routes went through, by name: what leads through them
    // is never a physical network, even once the tunnel's routes are gone.
    std::vector<std::string> tunnelDevices;

    // Last, so that they are stopped before anything they read goes away.
    RouteWatcher routeWatchThread4{AF_INET};
    RouteWatcher routeWatchThread6{AF_INET6};
};

State& state();

// Replaces a tunnel text under the tunnel lock.
void setTunnelAddress(int family, std::optional<std::string> text);
// A copy of a tunnel text, taken under the tunnel lock.
std::optional<std::string> tunnelAddressCopy(int family);
// Notes a device the tunnel's routes go through; forgets them all with none. Whether the
// record changed.
bool setTunnelDevice(std::optional<std::string> name);

// Holds the network lock for a scope.
class NetworkGuard {
  public:
    NetworkGuard() : guard_(state().networkLock) {}

  private:
    std::lock_guard<std::recursive_mutex> guard_;
};

// The saved gateway of a family: its address, or its device for a point-to-point uplink; empty
// when not saved. For commands and messages.
std::string gatewayText(int family);
std::string ipv4GatewayText();
std::string ipv6GatewayText();
// The words that send a host route the way of the saved gateway: " via GW" (with " dev IFNAME"
// for a link-local gateway, which the kernel needs named), or " dev IFNAME" for an uplink
// without gateway. `routeForm` gives the route program's " gw GW".
std::string gatewayWords(int family, bool routeForm = false);
// The addresses of a family that host routes lead to the way of the saved gateway: the DNS
// servers', then the VPN server's. The caller holds the network lock.
std::vector<std::string> hostRouteAddresses(int family);
// The main table's default route through the stored tunnel gateway of a family, if it holds one.
std::optional<RouteInfo> tunnelDefaultRoute(int family);
// Whether a default route leads into the tunnel: through its gateway, over the device that
// carries the route through that gateway, or over a device the tunnel's routes went through.
// `all` is the family's default routes.
bool leadsIntoTunnel(const RouteInfo& route, const std::vector<RouteInfo>& all);

}  // namespace routing
