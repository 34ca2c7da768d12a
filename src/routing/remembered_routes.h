#pragma once

// The default routes the daemon removed, remembered whole so that exactly they come back: a
// host with two uplinks gets both again, each at the metric that told the host which to
// prefer. Pure functions render and read them, for commands, the state file and the status.

#include <linux/rtnetlink.h>

#include <cstdint>
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
    bool operator==(const DefaultRoute&) const = default;
};

// The words after "default" that name the route exactly as `ip route` takes them:
// "via 192.0.2.1 dev eth0 metric 100 proto 16". Metric 0 and protocol boot, the ip program's
// defaults, are left out.
std::string routeWords(const DefaultRoute& route);
// The route those words name; none unless every word is understood and the addresses and the
// device name are well formed.
std::optional<DefaultRoute> parseRouteWords(int family, std::string_view words);

// A dumped default route as the daemon remembers it; the device by its name, which outlives
// a restart where an index may not.
DefaultRoute rememberedRoute(const RouteInfo& route);

// Adds `route` unless an equal one is remembered already.
void rememberRoute(std::vector<DefaultRoute>& routes, const DefaultRoute& route);

}  // namespace routing
