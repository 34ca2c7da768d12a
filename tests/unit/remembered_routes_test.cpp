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

TEST(RememberedRoute, EachRouteIsRememberedOnceWithItsLatestAttributes) {
    std::vector<DefaultRoute> routes;
    EXPECT_TRUE(routing::rememberRoute(routes, named("via 192.0.2.1 dev eth0 metric 100")));
    EXPECT_TRUE(routing::rememberRoute(routes, named("via 192.0.2.1 dev eth0 metric 600")));
    // The same route again, with a lifetime its router renewed: its record is refreshed.
    EXPECT_TRUE(
        routing::rememberRoute(routes, named("via 192.0.2.1 dev eth0 metric 100 expires-at 9")));
    EXPECT_FALSE(
        routing::rememberRoute(routes, named("via 192.0.2.1 dev eth0 metric 100 expires-at 9")));
    EXPECT_EQ(wordsOf(routes), (Strings{"via 192.0.2.1 dev eth0 metric 100 expires-at 9",
                                        "via 192.0.2.1 dev eth0 metric 600"}));
}

}  // namespace
