#pragma once

// The routes a connection needs that live on devices other programs manage: the host routes to
// the VPN server and the DNS servers on the uplink, and the tunnel's default routes on the
// tunnel device. A network manager deletes what it did not make on its devices when it applies
// its configuration again (a reapply, a connection brought up, a resume), and a device that
// loses its address loses its routes with it. The route watchers notice and put them back:
// what the datagrams tell only says when to look; what is still the daemon's to keep is read
// from the state at the moment the watcher looks, so that the daemon's own removals stay
// removed.

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "netlink/address.h"
#include "routing/remembered_routes.h"

namespace routing {

// Whether a notification datagram asks a watcher of `family` to look at the routes it keeps:
// one may have gone (a unicast host route of the main table, or its default route through
// `tunnelGateway`, was deleted), or one that could not be put back may fit now (a default
// route of the main table, an address of the family or a running link appeared).
bool keptRoutesAffected(std::span<const std::byte> datagram, int family,
                        const std::optional<netlink::Address>& tunnelGateway);

// The request that adds the host route to `destination` the way of `gateway` to the main
// table, as "ip route add DESTINATION via GATEWAY" does; over `interface` when not 0. An
// existing route answers EEXIST.
std::vector<std::byte> hostRouteRequest(const netlink::Address& destination,
                                        const DefaultRoute& gateway, unsigned interface);

// What a look at the kept routes of one family found, each route by its words in ip's form
// ("198.51.100.7 via 192.0.2.1", "default via 10.8.0.1 dev tun0").
struct KeptRoutesRepair {
    std::vector<std::string> restored;  // missing, and put back
    // Missing, and not to be put back yet: their gateway is off the link, or their device is
    // down or gone. Another look follows when a link, an address or a default route comes.
    std::vector<std::string> waiting;
    std::vector<std::pair<std::string, int>> failed;  // refused otherwise, with the errno
    bool tunnelRestored = false;                      // a tunnel route was among those put back
};

// Puts back, under the network lock, the server and DNS host routes of `family` that are
// missing, through the saved gateway of this moment, and the tunnel's default route while its
// device exists.
KeptRoutesRepair restoreKeptRoutes(int family);

}  // namespace routing
