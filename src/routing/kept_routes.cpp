#include "routing/kept_routes.h"

#include <linux/rtnetlink.h>
#include <net/if.h>

#include <cerrno>

#include "netlink/bytes.h"
#include "routing/kernel.h"
#include "routing/rtnetlink.h"
#include "routing/state.h"

namespace routing {
namespace {

using netlink::attributesStart;

bool routeAsksForLook(std::uint16_t type, std::span<const std::byte> message, int family,
                      const std::optional<netlink::Address>& tunnelGateway) {
    const auto route = rtnetlink::parseRoute(message);
    if (!route || route->family != family || route->table != RT_TABLE_MAIN ||
        route->type != RTN_UNICAST)
        return false;
    if (type == RTM_NEWROUTE) return route->dstLength == 0;
    const bool host = route->dstLength == netlink::Address::size(family) * 8;
    return host || (route->dstLength == 0 && tunnelGateway && route->gateway == tunnelGateway);
}

bool asksForLook(std::uint16_t type, std::span<const std::byte> message, int family,
                 const std::optional<netlink::Address>& tunnelGateway) {
    switch (type) {
        case RTM_NEWROUTE:
        case RTM_DELROUTE:
            return routeAsksForLook(type, message, family, tunnelGateway);
        case RTM_NEWADDR:
            return message.size() >= attributesStart<ifaddrmsg> &&
                   netlink::load<ifaddrmsg>(message, NLMSG_HDRLEN).ifa_family == family;
        case RTM_NEWLINK: {
            if (message.size() < attributesStart<ifinfomsg>) return false;
            constexpr unsigned running = IFF_UP | IFF_RUNNING;
            return (netlink::load<ifinfomsg>(message, NLMSG_HDRLEN).ifi_flags & running) == running;
        }
        default:
            return false;
    }
}

// The errors of an add whose way is not there: a gateway off the link, a device down or gone.
bool wayMissing(int error) {
    return error == EINVAL || error == ENETUNREACH || error == EHOSTUNREACH || error == ENETDOWN ||
           error == ENODEV;
}

void note(KeptRoutesRepair& repair, std::string words, int code, bool tunnel = false) {
    if (code == 0) {
        repair.restored.push_back(std::move(words));
        repair.tunnelRestored = repair.tunnelRestored || tunnel;
    } else if (wayMissing(-code)) {
        repair.waiting.push_back(std::move(words));
    } else if (code != -EEXIST) {
        repair.failed.emplace_back(std::move(words), -code);
    }
}

void putHostRoute(int family, const std::string& text, const DefaultRoute& gateway,
                  KeptRoutesRepair& repair) {
    const auto address = netlink::Address::parse(text, family);
    if (!address) return;  // never stored: every text is checked first
    std::string words = text + gatewayWords(family);
    unsigned interface = 0;
    // The device is named where the gateway alone does not say the way (see gatewayWords).
    if ((!gateway.gateway || gateway.gateway->isLinkLocal6()) && !gateway.device.empty()) {
        interface = ::if_nametoindex(gateway.device.c_str());
        if (interface == 0) {
            repair.waiting.push_back(std::move(words));
            return;
        }
    }
    note(repair, std::move(words), kernel().change(hostRouteRequest(*address, gateway, interface)));
}

void putTunnelRoute(const DefaultRoute& route, KeptRoutesRepair& repair) {
    // Only through the tunnel gateway of the moment: a route through another would be
    // foreign to the watchers, which delete it.
    const auto text = tunnelAddressCopy(route.family);
    if (!text || netlink::Address::parse(*text, route.family) != route.gateway) return;
    // A tunnel device that is gone took its routes along for good; a new one is a new
    // connection's, which sets its own.
    const unsigned interface = ::if_nametoindex(route.device.c_str());
    if (interface == 0) return;
    note(repair, "default " + routeWords(route),
         kernel().change(restoreRequest(route, interface, std::nullopt, true)), true);
}

}  // namespace

bool keptRoutesAffected(std::span<const std::byte> datagram, int family,
                        const std::optional<netlink::Address>& tunnelGateway) {
    bool affected = false;
    netlink::forEachMessage(datagram, [&](std::uint16_t type, std::span<const std::byte> message) {
        affected = affected || asksForLook(type, message, family, tunnelGateway);
        return type != NLMSG_DONE && !affected;
    });
    return affected;
}

std::vector<std::byte> hostRouteRequest(const netlink::Address& destination,
                                        const DefaultRoute& gateway, unsigned interface) {
    const std::size_t size = netlink::Address::size(destination.family);
    rtmsg header{};
    header.rtm_family = static_cast<unsigned char>(destination.family);
    header.rtm_dst_len = static_cast<unsigned char>(size * 8);
    header.rtm_table = RT_TABLE_MAIN;
    header.rtm_protocol = RTPROT_BOOT;
    // As ip gives it: an IPv4 route without gateway reaches only the link.
    header.rtm_scope =
        destination.family == AF_INET && !gateway.gateway ? RT_SCOPE_LINK : RT_SCOPE_UNIVERSE;
    header.rtm_type = RTN_UNICAST;
    netlink::Request request(RTM_NEWROUTE, NLM_F_REQUEST | NLM_F_ACK | NLM_F_CREATE | NLM_F_EXCL, 0,
                             header);
    request.attribute(RTA_DST, destination.bytes.data(), size);
    if (gateway.gateway) request.attribute(RTA_GATEWAY, gateway.gateway->bytes.data(), size);
    if (interface != 0) request.attribute32(RTA_OIF, interface);
    return request.bytes();
}

KeptRoutesRepair restoreKeptRoutes(int family) {
    NetworkGuard guard;
    const State& s = state();
    KeptRoutesRepair repair;
    if (const auto& gateway = family == AF_INET6 ? s.ipv6Gateway : s.ipv4Gateway) {
        for (const std::string& text : hostRouteAddresses(family))
            putHostRoute(family, text, *gateway, repair);
    }
    if (const auto& tunnel = family == AF_INET6 ? s.tunnelRoute6 : s.tunnelRoute)
        putTunnelRoute(*tunnel, repair);
    return repair;
}

}  // namespace routing
