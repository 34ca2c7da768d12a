#include "routing/remembered_routes.h"

#include <linux/icmpv6.h>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using routing::DefaultRoute;
using routing::parseRouteWords;
using routing::routeWords;
using Strings = std::vector<std::string>;

DefaultRoute route(int family, const char* gateway, const char* device, std::uint32_t metric,
                   unsigned protocol) {
    DefaultRoute r;
    r.family = family;
    if (gateway != nullptr) r.gateway = netlink::Address::parse(gateway, family);
    r.device = device;
    r.metric = metric;
    r.protocol = protocol;
    r.scope = family == AF_INET && gateway == nullptr ? RT_SCOPE_LINK : RT_SCOPE_UNIVERSE;
    return r;
}

// The route that `words` name, of the family their addresses tell.
DefaultRoute named(const std::string& words) {
    const int family = words.find(':') == std::string::npos ? AF_INET : AF_INET6;
    const auto parsed = parseRouteWords(family, words);
    if (!parsed) throw std::invalid_argument(words);
    return *parsed;
}

Strings wordsOf(const std::vector<DefaultRoute>& routes) {
    Strings words;
    for (const DefaultRoute& r : routes)
        words.push_back(routeWords(r));
    return words;
}

TEST(RememberedRoute, WordsNameTheRouteExactlyAndReadBackToIt) {
    DefaultRoute sourced = route(AF_INET, "192.0.2.1", "eth0", 100, RTPROT_DHCP);
    sourced.source = netlink::Address::parse("192.0.2.10", AF_INET);
    DefaultRoute linkScoped = route(AF_INET, "192.0.2.1", "eth0", 0, RTPROT_BOOT);
    linkScoped.scope = RT_SCOPE_LINK;
    DefaultRoute advertised = route(AF_INET6, "fe80::1", "wlan0", 1024, RTPROT_RA);
    advertised.source = netlink::Address::parse("2001:db8::10", AF_INET6);
    advertised.onlink = true;
    advertised.preference = ICMPV6_ROUTER_PREF_HIGH;
    advertised.metrics = {{RTAX_MTU, 1400, true}, {RTAX_HOPLIMIT, 64, false}};
    advertised.expiresAt = 5000;
    const struct {
        DefaultRoute route;
        std::string words;
    } cases[] = {
        {route(AF_INET, "192.0.2.1", "", 0, RTPROT_BOOT), "via 192.0.2.1"},
        {route(AF_INET, "192.0.2.1", "eth0", 100, RTPROT_DHCP),
         "via 192.0.2.1 dev eth0 metric 100 proto 16"},
        {route(AF_INET, nullptr, "ppp0", 0, RTPROT_BOOT), "dev ppp0"},
        {sourced, "via 192.0.2.1 dev eth0 metric 100 proto 16 src 192.0.2.10"},
        {linkScoped, "via 192.0.2.1 dev eth0 scope 253"},
        {advertised,
         "via fe80::1 dev wlan0 metric 1024 proto 9 src 2001:db8::10 onlink pref high mtu lock "
         "1400 hoplimit 64 expires-at 5000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.words);
        EXPECT_EQ(routeWords(c.route), c.words);
        EXPECT_EQ(parseRouteWords(c.route.family, c.words), c.route);
    }
}

TEST(RememberedRoute, WordsThatNameNoRouteExactlyAreRefused) {
    for (const char* words : {"",
                              "via",
                              "via 192.0.2.1 via 192.0.2.2",
                              "via fe80::1",
                              "dev eth0 metric -1",
                              "dev eth0 proto 256",
                              "dev a/b",
                              "dev ..",
                              "dev eth0 table 5",
                              "metric 5",
                              "dev averyveryverylongname",
                              "dev eth0 src fe80::1",
                              "dev eth0 pref high",
                              "dev eth0 onlink onlink",
                              "dev eth0 mtu lock",
                              "dev eth0 mtu lock lock 5",
                              "dev eth0 lock 5",
                              "dev eth0 scope 256",
                              "dev eth0 expires-at -5",
                              "dev eth0 rtt 5"}) {
        SCOPED_TRACE(words);
        EXPECT_FALSE(parseRouteWords(AF_INET, words));
    }
}

TEST(RememberedRoute, ADeviceKeepsAFewRoutesOfTheLowestMetricsAndEachRouteOnce) {
    std::vector<DefaultRoute> routes;
    for (const unsigned metric : {600, 500, 400, 300, 700, 100})
        routing::rememberRoute(routes,
                               named("via 192.0.2.1 dev eth0 metric " + std::to_string(metric)));
    routing::rememberRoute(routes, named("via 198.51.100.1 dev wlan0 metric 900"));
    // The same route again, with a lifetime its router renewed: its record is refreshed.
    EXPECT_TRUE(
        routing::rememberRoute(routes, named("via 192.0.2.1 dev eth0 metric 300 expires-at 9")));
    EXPECT_FALSE(
        routing::rememberRoute(routes, named("via 192.0.2.1 dev eth0 metric 300 expires-at 9")));
    EXPECT_EQ(routing::routesPerDevice, 4u);
    EXPECT_EQ(
        wordsOf(routes),
        (Strings{"via 192.0.2.1 dev eth0 metric 500", "via 192.0.2.1 dev eth0 metric 400",
                 "via 192.0.2.1 dev eth0 metric 300 expires-at 9",
                 "via 192.0.2.1 dev eth0 metric 100", "via 198.51.100.1 dev wlan0 metric 900"}));
}

// --- following the network --------------------------------------------------------------------

struct Roaming {
    const char* what;
    Strings remembered;
    std::string gateway;  // the current one; empty: none
    std::string route;    // the foreign default route a watcher removes
    Strings unusable;     // routes whose device is down or gone, or gateway off the link
    Strings after;        // what is remembered afterwards
    std::string moveTo;   // the gateway the host routes move to; empty: they stay
};

const Roaming roaming[] = {
    {"a second router on the same link is forgotten, even at a lower metric",
     {"via fe80::1 dev eth0 metric 1024"},
     "via fe80::1 dev eth0 metric 1024",
     "via fe80::99 dev eth0 metric 100 proto 9 expires-at 1800",
     {},
     {"via fe80::1 dev eth0 metric 1024"},
     ""},
    {"another device at an equal metric is remembered and keeps the gateway",
     {"via 192.0.2.1 dev eth0 metric 600"},
     "via 192.0.2.1 dev eth0 metric 600",
     "via 198.51.100.1 dev wlan0 metric 600",
     {},
     {"via 192.0.2.1 dev eth0 metric 600", "via 198.51.100.1 dev wlan0 metric 600"},
     ""},
    {"another device at a strictly lower metric becomes the gateway",
     {"via 192.0.2.1 dev eth0 metric 600"},
     "via 192.0.2.1 dev eth0 metric 600",
     "via 198.51.100.1 dev wlan0 metric 100",
     {},
     {"via 192.0.2.1 dev eth0 metric 600", "via 198.51.100.1 dev wlan0 metric 100"},
     "via 198.51.100.1 dev wlan0 metric 100"},
    {"a dead gateway gives way to the new network, however high its metric",
     {"via 192.0.2.1 dev eth0 metric 100"},
     "via 192.0.2.1 dev eth0 metric 100",
     "via 198.51.100.1 dev wlan0 metric 900",
     {"via 192.0.2.1 dev eth0 metric 100"},
     {"via 192.0.2.1 dev eth0 metric 100", "via 198.51.100.1 dev wlan0 metric 900"},
     "via 198.51.100.1 dev wlan0 metric 900"},
    {"a device that joined another network forgets the old one",
     {"via 192.0.2.1 dev wlan0 metric 600", "via 192.0.2.2 dev wlan0 metric 700"},
     "via 192.0.2.1 dev wlan0 metric 600",
     "via 198.51.100.1 dev wlan0 metric 600 proto 16 src 198.51.100.10",
     {"via 192.0.2.1 dev wlan0 metric 600", "via 192.0.2.2 dev wlan0 metric 700"},
     {"via 198.51.100.1 dev wlan0 metric 600 proto 16 src 198.51.100.10"},
     "via 198.51.100.1 dev wlan0 metric 600 proto 16 src 198.51.100.10"},
    {"the preferred uplink coming back takes the host routes back",
     {"via 192.0.2.1 dev eth0 metric 100", "via 198.51.100.1 dev wlan0 metric 600"},
     "via 198.51.100.1 dev wlan0 metric 600",
     "via 192.0.2.1 dev eth0 metric 100",
     {},
     {"via 192.0.2.1 dev eth0 metric 100", "via 198.51.100.1 dev wlan0 metric 600"},
     "via 192.0.2.1 dev eth0 metric 100"},
    {"a remembered router that advertises again renews its lifetime",
     {"via fe80::1 dev eth0 metric 1024 proto 9 expires-at 100"},
     "via fe80::1 dev eth0 metric 1024 proto 9 expires-at 100",
     "via fe80::1 dev eth0 metric 1024 proto 9 expires-at 1900",
     {},
     {"via fe80::1 dev eth0 metric 1024 proto 9 expires-at 1900"},
     ""},
    {"without a gateway the first network becomes it",
     {},
     "",
     "via fe80::1 dev eth0 metric 1024",
     {},
     {"via fe80::1 dev eth0 metric 1024"},
     "via fe80::1 dev eth0 metric 1024"},
};

class FollowNetwork : public ::testing::TestWithParam<Roaming> {};

TEST_P(FollowNetwork, RemembersOnlyWhatARoamingHostNeedsAndMovesTheGatewayOnlyForCause) {
    const Roaming& c = GetParam();
    SCOPED_TRACE(c.what);
    std::vector<DefaultRoute> routes;
    for (const std::string& words : c.remembered)
        routes.push_back(named(words));
    std::optional<DefaultRoute> gateway;
    if (!c.gateway.empty()) gateway = named(c.gateway);
    const auto change =
        routing::followNetwork(routes, gateway, named(c.route), [&](const DefaultRoute& r) {
            return std::find(c.unusable.begin(), c.unusable.end(), routeWords(r)) ==
                   c.unusable.end();
        });
    EXPECT_EQ(wordsOf(routes), c.after);
    EXPECT_EQ(change.remembered, wordsOf(routes) != c.remembered);
    EXPECT_EQ(change.gateway ? routeWords(*change.gateway) : "", c.moveTo);
}

INSTANTIATE_TEST_SUITE_P(Cases, FollowNetwork, ::testing::ValuesIn(roaming));

TEST(FollowNetworkFlood, FortyRoutersOnOneLinkLeaveNothingAndLookOnlyAtTheirDevice) {
    std::vector<DefaultRoute> routes = {named("via fe80::1 dev eth0 metric 1024"),
                                        named("via fe80::7 dev wlan0 metric 1024"),
                                        named("via fe80::8 dev wlan0 metric 1024")};
    const std::optional<DefaultRoute> gateway = routes[0];
    const auto before = routes;
    for (int router = 2; router <= 41; ++router) {
        int looks = 0;
        const auto change = routing::followNetwork(
            routes, gateway, named("via fe80::" + std::to_string(router) + " dev eth0 metric 1024"),
            [&](const DefaultRoute&) { return ++looks > 0; });
        EXPECT_FALSE(change.remembered);
        EXPECT_FALSE(change.gateway);
        EXPECT_LE(looks, 2) << "router " << router;  // eth0's route and the gateway
    }
    EXPECT_EQ(routes, before);
}

}  // namespace
