// The egress guard: the ruleset it renders for each situation, the LAN it takes from the
// host's addresses, the kernel's bytes it reads, and how it holds, releases and restores its
// table against a fake nftables.

#include <netinet/in.h>

#include <linux/if_addr.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <algorithm>

#include <sstream>

#include "fake_kernel.h"
#include "guard/guard.h"
#include "guard/ruleset.h"
#include "netlink/bytes.h"
#include "support.h"

namespace {

using guard::Description;
using netlink::InterfaceAddress;
using netlink::Prefix;
using Lines = std::vector<std::string>;

netlink::Address address(const char* text) {
    const bool six = std::string_view(text).find(':') != std::string_view::npos;
    return *netlink::Address::parse(text, six ? AF_INET6 : AF_INET);
}

// The rules of one chain of a rendered ruleset, without the base chain's declaration.
Lines chain(const std::string& ruleset, const std::string& name) {
    std::istringstream text(ruleset);
    Lines rules;
    bool inside = false;
    for (std::string line; std::getline(text, line);) {
        if (line == "\tchain " + name + " {") {
            inside = true;
        } else if (inside && line == "\t}") {
            break;
        } else if (inside && !line.starts_with("\t\ttype ")) {
            rules.push_back(line.substr(2));
        }
    }
    return rules;
}

const Lines linkScope = {
    "ip daddr 169.254.0.0/16 rt ip nexthop 169.254.0.0/16 accept",
    "ip daddr 224.0.0.0/24 rt ip nexthop 224.0.0.0/24 accept",
    "ip daddr 255.255.255.255 rt ip nexthop 255.255.255.255 accept",
    "ip6 daddr fe80::/10 rt ip6 nexthop fe80::/10 accept",
    "ip6 daddr ff02::/16 rt ip6 nexthop ff02::/16 accept",
};
const std::string dhcp = "udp sport 68 udp dport 67 ip daddr 255.255.255.255 accept";
const std::string dhcp6 = "udp sport 546 udp dport 547 ip6 daddr { fe80::/10, ff02::1:2 } accept";
const std::string neighbours =
    "icmpv6 type { nd-router-solicit, nd-neighbor-solicit, nd-neighbor-advert, "
    "mld-listener-report, mld2-listener-report } ip6 daddr "
    "{ fe80::/10, ff02::/16 } accept";

Lines joined(std::initializer_list<Lines> parts) {
    Lines all;
    for (const Lines& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

struct RulesetCase {
    const char* name;
    Description description;
    Lines prerouting, output, forward, uplink, link;
};

void PrintTo(const RulesetCase& c, std::ostream* out) {
    *out << c.name;
}

class Ruleset : public ::testing::TestWithParam<RulesetCase> {};

TEST_P(Ruleset, DecidesTunnelTrafficFirstAndRefusesWhatNoRulePasses) {
    const RulesetCase& c = GetParam();
    const std::string text = guard::renderRuleset(c.description);
    EXPECT_TRUE(text.starts_with(
        "table inet telvord {}\nflush table inet telvord\ntable inet telvord {\n"));
    EXPECT_EQ(chain(text, "prerouting"), c.prerouting);
    EXPECT_EQ(chain(text, "output"), c.output);
    EXPECT_EQ(chain(text, "forward"), c.forward);
    EXPECT_EQ(chain(text, "uplink"), c.uplink);
    EXPECT_EQ(chain(text, "link"), c.link);
    EXPECT_EQ(chain(text, "refuse"),
              (Lines{"counter name \"refused\"", "meta l4proto tcp reject with tcp reset",
                     "reject with icmpx admin-prohibited"}));
}

const Lines uplinkOutput = {"meta oif 1 accept", "jump uplink", "jump link", "jump refuse"};
const Lines uplinkForward = {"jump uplink", "jump refuse"};

INSTANTIATE_TEST_SUITE_P(
    Situations, Ruleset,
    ::testing::Values(
        RulesetCase{"LockdownWithoutConnection",
                    {.lan = {{3, address("10.8.1.0"), 24}},
                     .onLink = {{3, address("10.8.1.0"), 24}, {3, address("192.0.2.0"), 24}}},
                    {},
                    uplinkOutput,
                    uplinkForward,
                    {"meta oif 3 ip daddr 10.8.1.0/24 rt ip nexthop 10.8.1.0/24 accept"},
                    joined({linkScope,
                            {dhcp,
                             "meta oif 3 udp sport 68 udp dport 67 ip daddr 10.8.1.0/24 rt ip "
                             "nexthop 10.8.1.0/24 accept",
                             "meta oif 3 udp sport 68 udp dport 67 ip daddr 192.0.2.0/24 rt ip "
                             "nexthop 192.0.2.0/24 accept",
                             dhcp6, neighbours}})},
        RulesetCase{"ConnectingTheServerForOpenVpnAloneAndDnsAloneToTheDnsServers",
                    {.servers = {address("198.51.100.7"), address("2001:db8::7")},
                     .dnsServers = {address("203.0.113.53")},
                     .onLink = {{3, address("2001:db8::"), 64}}},
                    {},
                    uplinkOutput,
                    uplinkForward,
                    {"meta mark 0x00002e1d ip daddr 198.51.100.7 accept",
                     "meta mark 0x00002e1d ip6 daddr 2001:db8::7 accept",
                     "ip daddr 203.0.113.53 meta l4proto { tcp, udp } th dport { 53, 853 } accept"},
                    joined({linkScope,
                            {dhcp, dhcp6, neighbours,
                             "meta oif 3 icmpv6 type { nd-neighbor-solicit, nd-neighbor-advert } "
                             "ip6 daddr 2001:db8::/64 rt ip6 nexthop 2001:db8::/64 accept"}})},
        RulesetCase{
            "ConnectedNothingReachesTheTunnelsAddressesFromElsewhere",
            {.tunnels = {9, 12},
             .tunnelAddresses = {address("10.8.0.2"), address("fd42::2")},
             .dnsConfined = true},
            {"meta iif { 1, 9, 12 } accept", "ip daddr 10.8.0.2 drop", "ip6 daddr fd42::2 drop"},
            joined({{"meta oif 9 accept", "meta oif 12 accept"}, uplinkOutput}),
            joined({{"meta oif 9 accept", "meta oif 12 accept"}, uplinkForward}),
            {"meta l4proto { tcp, udp } th dport { 53, 853, 5355 } jump refuse"},
            joined({linkScope, {dhcp, dhcp6, neighbours}})},
        RulesetCase{"NoLanLeavesOnlyWhatKeepsTheAddress",
                    {.linkScope = false},
                    {},
                    uplinkOutput,
                    uplinkForward,
                    {},
                    {dhcp, dhcp6, neighbours}},
        RulesetCase{"OddAddressesAndInterfaces",
                    {.tunnels = {4294967295u},
                     .servers = {address("::ffff:198.51.100.7"), netlink::Address{}},
                     .lan = {{2, address("192.0.2.77"), 24},
                             {2, address("192.0.2.0"), 33},
                             {2, netlink::Address{}, 8}}},
                    {},
                    joined({{"meta oif 4294967295 accept"}, uplinkOutput}),
                    joined({{"meta oif 4294967295 accept"}, uplinkForward}),
                    {"meta mark 0x00002e1d ip6 daddr ::ffff:198.51.100.7 accept",
                     "meta oif 2 ip daddr 192.0.2.0/24 rt ip nexthop 192.0.2.0/24 accept"},
                    joined({linkScope, {dhcp, dhcp6, neighbours}})}),
    [](const auto& param) { return std::string(param.param.name); });

struct LanCase {
    const char* name;
    core::Lan lan;
    std::vector<InterfaceAddress> addresses;
    std::vector<Prefix> expected;
};

void PrintTo(const LanCase& c, std::ostream* out) {
    *out << c.name;
}

class Lan : public ::testing::TestWithParam<LanCase> {};

TEST_P(Lan, IsWhatLanSaysOfTheUplinksOnLinkPrefixes) {
    const unsigned tunnels[] = {7};
    EXPECT_EQ(netlink::lanPrefixes(GetParam().addresses, tunnels, GetParam().lan),
              GetParam().expected);
}

const std::vector<InterfaceAddress> mixed = {
    {3, address("10.8.1.10"), 24},   {3, address("203.0.113.77"), 24},
    {3, address("10.1.2.3"), 8},     {3, address("10.1.2.3"), 7},
    {3, address("172.20.0.1"), 12},  {3, address("172.15.0.1"), 16},
    {3, address("169.254.3.4"), 16}, {3, address("fd00::5"), 64},
    {3, address("2001:db8::5"), 64},
};

const LanCase lanCases[] = {
    {"PrivateIsTheOnLinkPrefixesInsideThePrivateRangesHoweverWide",
     core::Lan::Private,
     mixed,
     {{3, address("10.0.0.0"), 8},
      {3, address("10.8.1.0"), 24},
      {3, address("169.254.0.0"), 16},
      {3, address("172.16.0.0"), 12},
      {3, address("fd00::"), 64}}},
    {"OnLinkIsEveryOnLinkPrefixNoWiderThanASlash16OrASlash32",
     core::Lan::OnLink,
     mixed,
     {{3, address("10.8.1.0"), 24},
      {3, address("169.254.0.0"), 16},
      {3, address("172.15.0.0"), 16},
      {3, address("203.0.113.0"), 24},
      {3, address("2001:db8::"), 64},
      {3, address("fd00::"), 64}}},
    {"NoneIsNothing", core::Lan::None, mixed, {}},
    {"OnePrefixPerNetworkAndInterface",
     core::Lan::OnLink,
     {{3, address("192.0.2.10"), 24},
      {3, address("192.0.2.11"), 24},
      {4, address("192.0.2.12"), 24},
      {3, address("2001:db8::10"), 64}},
     {{3, address("192.0.2.0"), 24},
      {3, address("2001:db8::"), 64},
      {4, address("192.0.2.0"), 24}}},
    {"NotLoopbackTheTunnelHostScopeOrLinkLocal",
     core::Lan::Private,
     {{1, address("127.0.0.1"), 8, true},
      {7, address("10.8.0.2"), 24},
      {3, address("192.168.0.10"), 24, true},
      {3, address("fe80::10"), 64}},
     {}},
};
INSTANTIATE_TEST_SUITE_P(Addresses, Lan, ::testing::ValuesIn(lanCases),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(Lan, KeepsAtMostItsLimitOfPrefixes) {
    std::vector<InterfaceAddress> many;
    for (unsigned i = 0; i < 200; ++i)
        many.push_back({3, address(("fd00:" + std::to_string(i) + "::1").c_str()), 64});
    EXPECT_EQ(netlink::lanPrefixes(many, {}, core::Lan::Private).size(), netlink::maxLanPrefixes);
}

TEST(GuardListings, CountsAreReadAndBlanked) {
    EXPECT_EQ(guard::parseCounter("counter refused {\n\t\tpackets 42 bytes 3000\n"), 42u);
    EXPECT_EQ(guard::parseCounter("counter refused {\n\t}"), std::nullopt);
    EXPECT_EQ(guard::parseCounter("packets x"), std::nullopt);
    EXPECT_EQ(guard::withoutCounts("packets 42 bytes 3000\noif 3 accept"),
              guard::withoutCounts("packets 7 bytes 9\noif 3 accept"));
    EXPECT_NE(guard::withoutCounts("oif 3 accept"), guard::withoutCounts("oif 4 accept"));
}

std::vector<std::byte> addressMessage(int family, unsigned index, unsigned length,
                                      const char* local, const char* peer) {
    ifaddrmsg header{};
    header.ifa_family = static_cast<unsigned char>(family);
    header.ifa_prefixlen = static_cast<unsigned char>(length);
    header.ifa_index = index;
    netlink::Request message(RTM_NEWADDR, 0, 0, header);
    const auto a = address(local);
    message.attribute(IFA_LOCAL, a.bytes.data(), netlink::Address::size(family));
    if (peer != nullptr) {
        const auto p = address(peer);
        message.attribute(IFA_ADDRESS, p.bytes.data(), netlink::Address::size(family));
    }
    message.attribute(IFA_LABEL, "x", 1);  // of no address size: passed over
    return message.bytes();
}

TEST(GuardMessages, AddressesComeWithTheirInterfaceAndAPeerNamesThePointToPointLink) {
    auto bytes = addressMessage(AF_INET, 3, 24, "192.0.2.10", nullptr);
    const auto peer = addressMessage(AF_INET, 5, 32, "100.64.0.2", "100.64.0.1");
    bytes.insert(bytes.end(), peer.begin(), peer.end());
    std::vector<InterfaceAddress> found;
    netlink::parseAddresses(bytes, found);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].interface, 3u);
    EXPECT_EQ(found[0].address, address("192.0.2.10"));
    EXPECT_EQ(found[0].own(), address("192.0.2.10"));
    EXPECT_EQ(found[0].prefixLength, 24u);
    EXPECT_EQ(found[1].address, address("100.64.0.1"));
    EXPECT_EQ(found[1].own(), address("100.64.0.2"));
}

std::vector<std::byte> tableMessage(int type, int family, std::string_view name) {
    nfgenmsg header{};
    header.nfgen_family = static_cast<unsigned char>(family);
    netlink::Request message(static_cast<std::uint16_t>(NFNL_SUBSYS_NFTABLES << 8 | type), 0, 0,
                             header);
    const std::string text(name);
    message.attribute(NFTA_TABLE_NAME, text.c_str(), text.size() + 1);
    return message.bytes();
}

TEST(GuardMessages, OnlyChangesToTheGuardsOwnTableTouchIt) {
    EXPECT_TRUE(guard::touchesTable(tableMessage(NFT_MSG_DELTABLE, NFPROTO_INET, "telvord")));
    EXPECT_TRUE(guard::touchesTable(tableMessage(NFT_MSG_DELRULE, NFPROTO_INET, "telvord")));
    EXPECT_FALSE(guard::touchesTable(tableMessage(NFT_MSG_DELTABLE, NFPROTO_INET, "filter")));
    EXPECT_FALSE(guard::touchesTable(tableMessage(NFT_MSG_DELTABLE, NFPROTO_IPV4, "telvord")));
    EXPECT_FALSE(guard::touchesTable(tableMessage(NFT_MSG_NEWGEN, NFPROTO_INET, "telvord")));
}

class Guard : public ::testing::Test {
  protected:
    void SetUp() override {
        filter.addresses = {{3, address("192.0.2.10"), 24}, {9, address("10.8.0.2"), 24}};
        filter.interfaces = {{"tun0", 9}};
    }
    void TearDown() override { guard::Release(); }

    support::Sandbox sandbox;
    support::FakeFilter filter;
};

TEST_F(Guard, HoldsInOneTransactionChangesOnlyWhenAskedAndGoesWithoutTrace) {
    guard::Release();  // what an earlier run left
    EXPECT_FALSE(filter.table);
    const guard::Intent intent{.tunnels = {"tun0"}, .servers = {address("198.51.100.7")}};
    guard::Hold(intent);
    ASSERT_TRUE(filter.table);
    EXPECT_NE(filter.table->find("meta oif 9 accept"), std::string::npos);
    EXPECT_NE(filter.table->find("ip daddr 10.8.0.2 drop"), std::string::npos)
        << "the tunnel's addresses are read from the tunnel's interface";
    // The changes made, not the listings that the guard and its watcher read back.
    const auto changes = [&] {
        std::size_t count = 0;
        filter.locked([&] {
            count = static_cast<std::size_t>(
                std::count_if(filter.transactions.begin(), filter.transactions.end(),
                              [](const std::string& t) { return !t.starts_with("list "); }));
        });
        return count;
    };
    const std::size_t count = changes();
    guard::Hold(intent);
    EXPECT_EQ(changes(), count) << "the same intent is not applied again";
    filter.refused = 5;
    EXPECT_EQ(guard::CurrentStatus().standing, guard::Standing::Held);
    EXPECT_EQ(guard::CurrentStatus().refused, 5u);
    guard::Release();
    EXPECT_FALSE(filter.table);
    EXPECT_EQ(guard::CurrentStatus().standing, guard::Standing::Released);
}

TEST_F(Guard, WithoutNfTablesItWarnsOnceAndSaysSo) {
    filter.nfTables = false;
    guard::Hold({});
    guard::Hold({.tunnels = {"tun0"}});
    EXPECT_EQ(sandbox.countContaining("This kernel has no nf_tables"), 1);
    EXPECT_EQ(guard::CurrentStatus().standing, guard::Standing::Unavailable);
}

TEST_F(Guard, WatcherPutsARemovedTableBackAndFollowsTheAddresses) {
    guard::Hold({});
    // Sends to the watcher's socket `which` (0: interfaces, 1: nf_tables) once it has one.
    const auto tell = [&](std::size_t which, const std::vector<std::byte>& datagram) {
        int socket = -1;
        ASSERT_TRUE(support::eventually([&] {
            filter.locked([&] {
                if (filter.watchPeers.size() == 2) socket = filter.watchPeers[which].get();
            });
            return socket >= 0;
        }));
        ASSERT_GT(::send(socket, datagram.data(), datagram.size(), 0), 0);
    };
    const auto tableHas = [&](const char* text) {
        bool has = false;
        filter.locked([&] { has = filter.table && filter.table->find(text) != std::string::npos; });
        return has;
    };

    filter.locked([&] { filter.table.reset(); });  // as "nft flush ruleset" leaves it
    tell(1, tableMessage(NFT_MSG_DELTABLE, NFPROTO_INET, "telvord"));
    EXPECT_TRUE(support::eventually([&] { return tableHas("chain uplink"); }));
    EXPECT_TRUE(support::eventually(
        [&] { return sandbox.countContaining("was removed or changed by another program") == 1; }));

    filter.locked([&] { filter.addresses.push_back({4, address("192.168.7.10"), 24}); });
    tell(0, addressMessage(AF_INET, 4, 24, "192.168.7.10", nullptr));
    EXPECT_TRUE(
        support::eventually([&] { return tableHas("meta oif 4 ip daddr 192.168.7.0/24"); }));
}

}  // namespace
