#include "routing/remembered_routes.h"

#include <gtest/gtest.h>

namespace {

using routing::DefaultRoute;
using routing::parseRouteWords;
using routing::routeWords;

DefaultRoute route(int family, const char* gateway, const char* device, std::uint32_t metric,
                   unsigned protocol) {
    DefaultRoute r;
    r.family = family;
    if (gateway != nullptr) r.gateway = netlink::Address::parse(gateway, family);
    r.device = device;
    r.metric = metric;
    r.protocol = protocol;
    return r;
}

TEST(RememberedRoute, WordsNameTheRouteExactlyAndReadBackToIt) {
    const struct {
        DefaultRoute route;
        std::string words;
    } cases[] = {
        {route(AF_INET, "192.0.2.1", "", 0, RTPROT_BOOT), "via 192.0.2.1"},
        {route(AF_INET, "192.0.2.1", "eth0", 100, RTPROT_DHCP),
         "via 192.0.2.1 dev eth0 metric 100 proto 16"},
        {route(AF_INET, nullptr, "ppp0", 0, RTPROT_BOOT), "dev ppp0"},
        {route(AF_INET6, "fe80::1", "wlan0", 1024, RTPROT_RA),
         "via fe80::1 dev wlan0 metric 1024 proto 9"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.words);
        EXPECT_EQ(routeWords(c.route), c.words);
        EXPECT_EQ(parseRouteWords(c.route.family, c.words), c.route);
    }
}

TEST(RememberedRoute, WordsThatNameNoRouteExactlyAreRefused) {
    for (const char* words : {"", "via", "via 192.0.2.1 via 192.0.2.2", "via fe80::1",
                              "dev eth0 metric -1", "dev eth0 proto 256", "dev a/b", "dev ..",
                              "dev eth0 table 5", "metric 5", "dev averyveryverylongname"}) {
        SCOPED_TRACE(words);
        EXPECT_FALSE(parseRouteWords(AF_INET, words));
    }
}

TEST(RememberedRoute, AnEqualRouteIsRememberedOnce) {
    std::vector<DefaultRoute> routes;
    routing::rememberRoute(routes, route(AF_INET, "192.0.2.1", "eth0", 0, RTPROT_BOOT));
    routing::rememberRoute(routes, route(AF_INET, "192.0.2.1", "eth0", 0, RTPROT_BOOT));
    routing::rememberRoute(routes, route(AF_INET, "192.0.2.1", "eth0", 600, RTPROT_BOOT));
    EXPECT_EQ(routes.size(), 2u);
}

}  // namespace
