#pragma once

// The default routes the daemon removed, remembered whole so that exactly they come back: a
// host with two uplinks gets both again, each at the metric that told the host which to
// prefer, with the source address and the lifetime its DHCP client or router gave it. Pure
// functions render and read them, for the state file and the status, decide which routes a
// network change adds to them, and build the requests that put them back.

#include <linux/rtnetlink.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "netlink/address.h"
#include "routing/kernel.h"

namespace routing {

struct DefaultRoute {
    int family = AF_INET;
    std::optional<netlink::Address>
        gateway;         // none: a point-to-point uplink (PPP, mobile broadband)
    std::string device;  // empty when the route named none
    std::uint32_t metric = 0;
    unsigned protocol = RTPROT_BOOT;
    std::optional<netlink::Address> source;  // the preferred source address
    unsigned scope = RT_SCOPE_UNIVERSE;
    bool onlink = false;      // the gateway is taken as on the link, whatever the addresses say
    unsigned preference = 0;  // an IPv6 router's preference (ICMPV6_ROUTER_PREF_*): medium
    std::vector<RouteMetric> metrics;  // mtu, advmss, ...: those with a word below
    // When a route of limited lifetime (a router advertisement's) runs out, in seconds of the
    // boot clock, which goes on while the host sleeps, as the router's clock does.
    std::optional<std::int64_t> expiresAt;
    bool operator==(const DefaultRoute&) const = default;
};

// The words after "default" that name the route, in `ip route`'s syntax and order:
// "via 192.0.2.1 dev eth0 metric 100 proto 16 src 192.0.2.10 scope 253 onlink pref high
// mtu lock 1400", then "expires-at SECONDS" (on the boot clock, where ip takes a lifetime). A
// value a route has unless told otherwise is left out: metric 0, protocol boot, the scope ip
// gives (link for an IPv4 route without gateway, universe else), preference medium.
std::string routeWords(const DefaultRoute& route);
// The route those words name; none unless every word is understood, once, and the addresses
// and the device name are well formed.
std::optional<DefaultRoute> parseRouteWords(int family, std::string_view words);

// Now on the boot clock, in seconds.
std::int64_t bootSeconds();

// A dumped default route as the daemon remembers it: the device by its name, which outlives
// a restart where an index may not, and its lifetime as the moment it runs out.
DefaultRoute rememberedRoute(const RouteInfo& route);

// Whether two records name the same route of the kernel's table, whatever else they say.
bool sameRoute(const DefaultRoute& a, const DefaultRoute& b);

// The most routes of one family remembered per device. A host rarely has more than one or
// two default routes on one uplink; a LAN that advertises more must not grow the state file.
inline constexpr std::size_t routesPerDevice = 4;

// Adds `route`, or refreshes the record of the same route, within routesPerDevice: on a full
// device it takes the place of the highest metric, if its own is lower. Returns whether it is
// remembered now.
bool rememberRoute(std::vector<DefaultRoute>& routes, const DefaultRoute& route);

// Whether a route could carry traffic now: its device exists, is up and has a carrier, and
// its gateway lies on the device's link.
using Usable = std::function<bool(const DefaultRoute&)>;

// What a foreign default route that a watcher removes does to what is remembered.
struct NetworkChange {
    bool remembered = false;  // the list changed: the route joined it or took a place in it
    // The route the server and DNS host routes now go through, when it is another.
    std::optional<DefaultRoute> gateway;
};

// The rules by which the daemon follows the network and not the LAN: the route is remembered
// only when the host roams, that is when its device carries no remembered route of its
// family or none that is still usable (those that are not give way to it); a further default
// route on a device whose remembered gateway works is forgotten. The gateway of the host
// routes changes only when the current one is unusable (to the usable remembered route of the
// lowest metric) or when the remembered route lies on another device at a strictly lower
// metric. Looks only at the route's device and the current gateway unless the gateway must
// be replaced.
NetworkChange followNetwork(std::vector<DefaultRoute>& routes,
                            const std::optional<DefaultRoute>& gateway, const DefaultRoute& route,
                            const Usable& usable);

// Whether the kernel itself makes the default route of each router that advertises on a device
// with these settings: it takes advertisements (accept_ra 1 on a host, 2 also on a router) and
// default routers from them (accept_ra_defrtr). Such a route is better learnt again than put
// back: only the kernel's own is renewed, aged and withdrawn by the router's advertisements,
// and refreshes the addresses the kernel made from them. Where another program reads the
// advertisements (a network manager sets accept_ra 0), the route is that program's and is put
// back.
bool kernelLearnsDefaultRouters(const RouterAdvertisementSettings& settings);

// The request that puts a remembered route back, over `interface` (0: the kernel's choice),
// with `lifetime` seconds to live when it has a limited one (IPv6 only). `withSource` false
// leaves out a preferred source address the host no longer has.
std::vector<std::byte> restoreRequest(const DefaultRoute& route, unsigned interface,
                                      std::optional<std::uint32_t> lifetime, bool withSource);

}  // namespace routing
