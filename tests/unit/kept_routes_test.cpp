// Which notifications ask a route watcher to look at the routes it keeps.

#include "routing/kept_routes.h"

#include <linux/rtnetlink.h>
#include <net/if.h>

#include <gtest/gtest.h>

#include <cstring>

#include "fake_kernel.h"

namespace {

using Bytes = std::vector<std::byte>;
using support::gatewayAttributePayload;

// A route message of `type` to `destination` of `length` bits ("" for a default route), in
// `table`, through `gateway` when one is given.
Bytes route(unsigned short type, const std::string& destination, unsigned char length,
            const std::string& gateway = "", unsigned char table = RT_TABLE_MAIN) {
    const std::string any = destination.empty() ? gateway : destination;
    const auto family =
        static_cast<unsigned char>(any.find(':') == std::string::npos ? AF_INET : AF_INET6);
    std::vector<std::pair<unsigned short, Bytes>> attributes;
    if (!destination.empty())
        attributes.emplace_back(RTA_DST, gatewayAttributePayload(destination));
    if (!gateway.empty()) attributes.emplace_back(RTA_GATEWAY, gatewayAttributePayload(gateway));
    Bytes bytes = support::routeMessage(family, table, attributes, type);
    bytes[sizeof(nlmsghdr) + offsetof(rtmsg, rtm_dst_len)] = std::byte{length};
    return bytes;
}

// A message of `type` that holds only `header`.
template <typename Header>
Bytes headerOnly(unsigned short type, const Header& header) {
    Bytes bytes(NLMSG_LENGTH(sizeof header));
    nlmsghdr message{};
    message.nlmsg_len = static_cast<std::uint32_t>(bytes.size());
    message.nlmsg_type = type;
    std::memcpy(bytes.data(), &message, sizeof message);
    std::memcpy(bytes.data() + NLMSG_HDRLEN, &header, sizeof header);
    return bytes;
}

Bytes address(unsigned short type, unsigned char family) {
    return headerOnly(type, ifaddrmsg{family, 24, 0, 0, 2});
}

Bytes link(unsigned flags) {
    ifinfomsg header{};
    header.ifi_flags = flags;
    return headerOnly(RTM_NEWLINK, header);
}

TEST(KeptRoutesAffected, DeletionsOfKeptKindsAndWaysBackAskForALook) {
    struct Case {
        const char* what;
        Bytes datagram;
        int family;
        bool affected;
    };
    const std::vector<Case> cases = {
        {"host route deleted", route(RTM_DELROUTE, "198.51.100.7", 32, "192.0.2.1"), AF_INET, true},
        {"the other family's", route(RTM_DELROUTE, "2001:db8::53", 128), AF_INET, false},
        {"network route deleted", route(RTM_DELROUTE, "192.0.2.0", 24), AF_INET, false},
        {"another table's", route(RTM_DELROUTE, "198.51.100.7", 32, "", 200), AF_INET, false},
        {"tunnel's default deleted", route(RTM_DELROUTE, "", 0, "10.8.0.1"), AF_INET, true},
        {"foreign default deleted", route(RTM_DELROUTE, "", 0, "192.0.2.1"), AF_INET, false},
        {"default appeared", route(RTM_NEWROUTE, "", 0, "fe80::1"), AF_INET6, true},
        {"address appeared", address(RTM_NEWADDR, AF_INET), AF_INET, true},
        {"address went", address(RTM_DELADDR, AF_INET6), AF_INET6, false},
        {"link running", link(IFF_UP | IFF_RUNNING), AF_INET6, true},
        {"link up without carrier", link(IFF_UP), AF_INET, false},
        {"after other messages", support::concat({link(0), address(RTM_NEWADDR, AF_INET)}), AF_INET,
         true},
    };
    const auto tunnel = netlink::Address::parse("10.8.0.1", AF_INET);
    for (const Case& c : cases)
        EXPECT_EQ(routing::keptRoutesAffected(c.datagram, c.family, tunnel), c.affected) << c.what;
}

}  // namespace
