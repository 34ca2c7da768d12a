#pragma once

// The routing operations that the connection handlers call. Every operation runs on its
// caller's thread and returns when its commands have ended. Results follow the daemon's small
// integer conventions: yes/no operations return 1 or 0, `RetrieveDefaultRoutes` returns 0 for
// success, the DNS route operations return -1 (refused), 0 (already routed) or the raw status of
// their command.
//
// Callers serialise these operations (the connection handlers hold the state lock); the route
// watchers run some of them too (FollowNetwork, DisableIpv6, the kill switch's repair), under
// routing's network lock where they touch its state (see the thread model in modes/modes.h).

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/config.h"
#include "routing/remembered_routes.h"

namespace routing {

// Gateway discovery.
int RetrieveDefaultRoutes();
int CheckForIpv6Environment();
void FreeDefaultRoutes();
// Whether a gateway of either family is saved.
bool HasSavedGateway();
// Whether the main table still holds a unicast default route that is not the tunnel's; false
// when it cannot be read.
bool DefaultRouteRemains();
// Removes a foreign default route with `remove` (a watcher's deletion) and follows the network
// it may tell of: the route is remembered for restoring when the host roams to a new network,
// recorded before `remove` runs, and the server and DNS host routes are moved when it makes
// another gateway theirs (see followNetwork). Returns what `remove` returned.
int FollowNetwork(const DefaultRoute& route, const std::function<int()>& remove);

// Default routes and the IPv6 blackhole.
void CloseDefaultRoutes();
void CloseIpv4Routes();
void CloseIpv6Routes();
void ReopenIpv4Routes();
void ReopenIpv6Routes();
void ReopenDefaultRoutes();
int DisableIpv6();

// Tunnel, server and DNS host routes.
int EnableRouteForIpv4(std::string_view address);
int EnableRouteForIpv6(std::string_view address);
int SetRouteForServer(std::string_view address);
int SetRouteForServer6(std::string_view address);
void DisableCustomRoutes();
int SetRouteForDns(std::string_view address);
int SetRouteForDns6(std::string_view address);
void UnsetRoutesForDns();
void UnsetRoutesForDns6();
// A device the tunnel goes through.
struct TunnelDevice {
    std::string name;
    unsigned index = 0;  // 0 while no device of that name exists
};
// The connection's tunnel: its gateway per family, as connectionsuccessful named it, and the
// devices it goes through, each once, from the moment its gateway or its default route first
// led through them until the close. The one record of the tunnel: the guard, the watchers,
// NetworkManager's and systemd-resolved's clients and status: read it here. It stands while a
// device goes and comes back (OpenVPN's own restarts).
struct Tunnel {
    std::optional<std::string> gateway, gateway6;
    std::vector<TunnelDevice> devices;

    std::vector<std::string> names() const;
    std::vector<unsigned> indexes() const;  // of the devices that exist now
};
Tunnel CurrentTunnel();
// The device the kernel routes `address` (a text of either family) through, when it is a
// tunnel's (OpenVPN's tun: no link-layer header); none for anything else: an uplink, a tap
// device, no route.
std::optional<TunnelDevice> TunnelDeviceFor(std::string_view address);
// Records that device as the connection's tunnel's too, and returns it.
std::optional<TunnelDevice> NoteTunnelDevice(std::string_view address);
// Sends the server and DNS host routes the way of the family's current gateway.
void MoveHostRoutes(int family);

// Route watchers.
void StartRouteWatchThread();
void StopRouteWatchThread();
void StartRouteWatchThread4();
void StartRouteWatchThread6();
void StopRouteWatchThread4();
void StopRouteWatchThread6();
// Whether both watchers listen since their last start.
bool RouteWatchersListening();
enum class WatchersStanding {
    Off,        // neither was started
    Listening,  // both listen
    Stopped,    // one did not start listening, or its loop ended on an error
};
WatchersStanding RouteWatchersStanding();

// The kill switch's policy rules and table: installing is idempotent, removing leaves no
// trace. They stay in the kernel when the daemon ends.
void InstallKillSwitch();
void RemoveKillSwitch();
// Puts back what is missing of it, quietly unless something was.
void EnsureKillSwitch();
// Whether the daemon means the kill switch to hold now.
bool KillSwitchHeld();

// Forgets the saved gateways, addresses and DNS lists: the state of process start.
void InitRoutingVariablesOs();

// What is the LAN (lan= in the configuration), for the kill switch's rules and the guard; set
// once at start, before anything holds.
void SetLanScope(core::Lan lan);
core::Lan LanScope();

}  // namespace routing
