// The routing operations against a kernel that only records: the commands they would run, what
// they log and what they remember, and the parsers of the kernel's routing data.

#include <linux/rtnetlink.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/paths.h"
#include "fake_kernel.h"
#include "routing/routing.h"
#include "routing/rtnetlink.h"
#include "routing/runner.h"
#include "routing/state.h"
#include "support.h"

namespace {

using Strings = std::vector<std::string>;
using Bytes = std::vector<std::byte>;
using Attributes = std::vector<std::pair<unsigned short, Bytes>>;
using routing::rtnetlink::scanProcNetRoute;
using routing::rtnetlink::walkIpv6LookupReply;

// --- "/proc/net/route" text ------------------------------------------------------------------

const std::string procHeader =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

std::string procLine(const std::string& interface, const std::string& destination,
                     const std::string& gateway, const std::string& flags,
                     const std::string& metric, const std::string& mask) {
    return interface + "\t" + destination + "\t" + gateway + "\t" + flags + "\t0\t0\t" + metric +
           "\t" + mask + "\t0\t0\t0\n";
}

// The Gateway column of an address: its four bytes read as one word of this host.
std::string gatewayWord(const std::string& address) {
    const auto parsed = netlink::Address::parse(address, AF_INET);
    std::uint32_t word = 0;
    std::memcpy(&word, parsed->bytes.data(), sizeof word);
    char text[9];
    std::snprintf(text, sizeof text, "%08X", word);
    return text;
}

std::string defaultLine(const std::string& interface, const std::string& gateway,
                        const std::string& metric = "0") {
    return procLine(interface, "00000000", gatewayWord(gateway), "0003", metric, "00000000");
}

std::string gatewayOf(const routing::rtnetlink::ProcRouteScan& scan) {
    if (!scan.gateway) return "none";
    return netlink::Address::fromBytes(AF_INET, &*scan.gateway).text();
}

// --- IPv6 lookup replies ---------------------------------------------------------------------

Bytes wordBytes(std::uint32_t value) {
    Bytes bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

Bytes routeTo(const std::string& gateway, unsigned interface = 0, unsigned char family = AF_INET6,
              unsigned char table = RT_TABLE_MAIN) {
    Attributes attributes{{RTA_GATEWAY, support::gatewayAttributePayload(gateway)}};
    if (interface != 0) attributes.emplace_back(RTA_OIF, wordBytes(interface));
    return support::routeMessage(family, table, attributes);
}

Bytes gatewayReply(const std::string& gateway, unsigned interface = 0) {
    return support::concat({routeTo(gateway, interface), support::netlinkDone()});
}

std::string walkGateway(const routing::rtnetlink::Ipv6LookupWalk& walk) {
    return walk.gateway ? walk.gateway->text() : "none";
}

// --- "/proc/net/route" scanner ---------------------------------------------------------------

TEST(ProcNetRouteScan, LowerMetricWinsWhicheverLineComesFirst) {
    const std::string wired = defaultLine("eth0", "192.0.2.1", "100");
    const std::string wireless = defaultLine("wlan0", "198.51.100.1", "600");
    for (const std::string& lines : {wired + wireless, wireless + wired}) {
        const auto scan = scanProcNetRoute(procHeader + lines);
        EXPECT_EQ(gatewayOf(scan), "192.0.2.1");
        EXPECT_EQ(scan.interface, "eth0");
    }
}

TEST(ProcNetRouteScan, EqualMetricsKeepTheEarlierLine) {
    const auto scan = scanProcNetRoute(procHeader + defaultLine("eth0", "192.0.2.1", "100") +
                                       defaultLine("wlan0", "198.51.100.1", "100"));
    EXPECT_EQ(gatewayOf(scan), "192.0.2.1");
    EXPECT_EQ(scan.taken, Strings{"eth0"});
}

TEST(ProcNetRouteScan, RoutesThatAreDownOrNotDefaultAreIgnored) {
    const std::string gateway = gatewayWord("192.0.2.1");
    const auto scan = scanProcNetRoute(
        procHeader + procLine("down0", "00000000", gateway, "0002", "0", "00000000") +
        procLine("mask0", "00000000", gateway, "0003", "0", "000000FF") +
        procLine("net0", "0071000A", gateway, "0003", "0", "00000000") + "short0\t00000000\t" +
        gateway + "\t0003\n" + "garbage\n");
    EXPECT_EQ(gatewayOf(scan), "none");
    EXPECT_TRUE(scan.taken.empty());
}

TEST(ProcNetRouteScan, DefaultRouteWithoutGatewayIsTakenAsTheZeroAddress) {
    const auto scan =
        scanProcNetRoute(procHeader + procLine("ppp0", "00000000", "00000000", "0001", "0", "0"));
    EXPECT_EQ(gatewayOf(scan), "0.0.0.0");
    EXPECT_EQ(scan.interface, "ppp0");
}

TEST(ProcNetRouteScan, FirstLineIsSkippedWhateverItHolds) {
    EXPECT_EQ(gatewayOf(scanProcNetRoute(procHeader)), "none");
    EXPECT_EQ(gatewayOf(scanProcNetRoute(defaultLine("eth0", "192.0.2.1"))), "none");
    EXPECT_EQ(gatewayOf(scanProcNetRoute("")), "none");
}

TEST(ProcNetRouteScan, MetricOfMinusOneIsNeverTaken) {
    EXPECT_EQ(gatewayOf(scanProcNetRoute(procHeader + defaultLine("eth0", "192.0.2.1", "-1"))),
              "none");
    // As an unsigned number it is the largest metric, behind every other.
    EXPECT_EQ(gatewayOf(scanProcNetRoute(procHeader + defaultLine("eth0", "192.0.2.1", "-1") +
                                         defaultLine("eth1", "198.51.100.1", "4000000000"))),
              "198.51.100.1");
}

// --- IPv6 lookup reply walk ------------------------------------------------------------------

TEST(Ipv6LookupWalk, GatewayInterfaceAndMetricOfAMainTableRouteAreKept) {
    const auto walk = walkIpv6LookupReply(support::concat(
        {support::routeMessage(AF_INET6, RT_TABLE_MAIN,
                               {{RTA_PRIORITY, wordBytes(100)},
                                {RTA_GATEWAY, support::gatewayAttributePayload("fe80::1")},
                                {RTA_OIF, wordBytes(7)}}),
         support::netlinkDone()}));
    EXPECT_EQ(walkGateway(walk), "fe80::1");
    EXPECT_EQ(walk.outputInterface, 7u);
    EXPECT_EQ(walk.metric, 100u);
    EXPECT_TRUE(walk.errors.empty());
    EXPECT_FALSE(walk.failed);
}

TEST(Ipv6LookupWalk, DoneMessageEndsTheWalk) {
    const auto walk =
        walkIpv6LookupReply(support::concat({support::netlinkDone(), routeTo("fe80::1")}));
    EXPECT_EQ(walkGateway(walk), "none");
    EXPECT_FALSE(walk.failed);
}

TEST(Ipv6LookupWalk, NetworkUnreachableEndsTheWalkSilently) {
    const auto walk = walkIpv6LookupReply(
        support::concat({support::netlinkError(-ENETUNREACH), routeTo("fe80::1")}));
    EXPECT_EQ(walkGateway(walk), "none");
    EXPECT_TRUE(walk.errors.empty());
    EXPECT_FALSE(walk.failed);
}

TEST(Ipv6LookupWalk, OtherErrorReplyFailsWithTheSystemsErrorText) {
    const auto walk =
        walkIpv6LookupReply(support::concat({support::netlinkError(-EACCES), routeTo("fe80::1")}));
    EXPECT_TRUE(walk.failed);
    EXPECT_EQ(walk.errors, Strings{std::string("Error ") + std::strerror(EACCES)});
    EXPECT_EQ(walkGateway(walk), "none");
}

TEST(Ipv6LookupWalk, GatewayFoundBeforeAnErrorReplyIsKept) {
    const auto walk = walkIpv6LookupReply(
        support::concat({routeTo("fe80::1", 3), support::netlinkError(-EACCES)}));
    EXPECT_TRUE(walk.failed);
    EXPECT_EQ(walkGateway(walk), "fe80::1");
}

TEST(Ipv6LookupWalk, RoutesOfAnotherFamilyOrTableAreIgnoredSilently) {
    const auto walk = walkIpv6LookupReply(
        support::concat({routeTo("fe80::1", 3, AF_INET), routeTo("fe80::2", 3, AF_INET6, 255),
                         support::netlinkDone()}));
    EXPECT_EQ(walkGateway(walk), "none");
    EXPECT_TRUE(walk.errors.empty());
    EXPECT_FALSE(walk.failed);
}

TEST(Ipv6LookupWalk, GatewayOfTheWrongSizeIsASizeMismatch) {
    const auto walk = walkIpv6LookupReply(support::routeMessage(
        AF_INET6, RT_TABLE_MAIN, {{RTA_GATEWAY, support::gatewayAttributePayload("192.0.2.1")}}));
    EXPECT_EQ(walkGateway(walk), "none");
    EXPECT_EQ(walk.errors, Strings{"Size mismatch"});
    EXPECT_FALSE(walk.failed);
}

TEST(Ipv6LookupWalk, LastOfSeveralGatewaysWins) {
    const Bytes oneMessage =
        support::routeMessage(AF_INET6, RT_TABLE_MAIN,
                              {{RTA_GATEWAY, support::gatewayAttributePayload("fe80::1")},
                               {RTA_GATEWAY, support::gatewayAttributePayload("fe80::2")}});
    EXPECT_EQ(walkGateway(walkIpv6LookupReply(oneMessage)), "fe80::2");

    const auto walk =
        walkIpv6LookupReply(support::concat({routeTo("fe80::1", 3), routeTo("2001:db8::1", 4)}));
    EXPECT_EQ(walkGateway(walk), "2001:db8::1");
    EXPECT_EQ(walk.outputInterface, 4u);
}

TEST(Ipv6LookupWalk, TruncatedDataStopsTheWalk) {
    Bytes cut = routeTo("fe80::1");
    cut.pop_back();
    EXPECT_EQ(walkGateway(walkIpv6LookupReply(cut)), "none");

    // An attribute that claims more than its message holds.
    Bytes longAttribute = routeTo("fe80::1");
    const std::uint16_t tooLong = 200;
    std::memcpy(longAttribute.data() + 28, &tooLong, sizeof tooLong);
    const auto walk = walkIpv6LookupReply(longAttribute);
    EXPECT_EQ(walkGateway(walk), "none");
    EXPECT_TRUE(walk.errors.empty());

    // A header that claims less than a header.
    Bytes shortHeader = support::concat({routeTo("fe80::1"), routeTo("fe80::2")});
    const std::uint32_t eight = 8;
    std::memcpy(shortHeader.data(), &eight, sizeof eight);
    EXPECT_EQ(walkGateway(walkIpv6LookupReply(shortHeader)), "none");

    // A route message too short for its route header.
    Bytes shortRoute = support::routeMessage(AF_INET6, RT_TABLE_MAIN, {});
    shortRoute.resize(20);
    const std::uint32_t twenty = 20;
    std::memcpy(shortRoute.data(), &twenty, sizeof twenty);
    EXPECT_EQ(walkGateway(walkIpv6LookupReply(shortRoute)), "none");

    EXPECT_EQ(walkGateway(walkIpv6LookupReply({})), "none");
}

TEST(Ipv6LookupWalk, UnexpectedMessageTypeIsReportedAndTheWalkGoesOn) {
    const Bytes link = support::routeMessage(
        AF_INET6, RT_TABLE_MAIN, {{RTA_GATEWAY, support::gatewayAttributePayload("fe80::9")}},
        RTM_NEWLINK);
    const auto walk = walkIpv6LookupReply(support::concat({link, gatewayReply("fe80::1", 2)}));
    EXPECT_EQ(walk.errors, Strings{"Unexpected message type " + std::to_string(RTM_NEWLINK)});
    EXPECT_EQ(walkGateway(walk), "fe80::1");
    EXPECT_FALSE(walk.failed);
}

// --- the operations --------------------------------------------------------------------------

class Routing : public ::testing::Test {
  protected:
    Routing() {
        routing::InitRoutingVariablesOs();
        routing::kernel().defaultRoutes = [this,
                                           dump = routing::kernel().defaultRoutes](int family) {
            if (family == AF_INET6) ++lookups;
            return dump(family);
        };
    }
    ~Routing() override { routing::InitRoutingVariablesOs(); }

    void installRouteProgram() { support::writeFile(sandbox.path("usr-bin-route"), ""); }
    void writeProcRoute(const std::string& lines) {
        support::writeFile(sandbox.path("route"), procHeader + lines);
    }
    // Saves the physical gateways as a discovery finds them, then forgets its traces.
    void discover(const std::string& ipv4, const std::string& ipv6 = "", unsigned interface = 0) {
        writeProcRoute(ipv4.empty() ? "" : defaultLine("lo", ipv4));
        setDefault6(ipv6, interface);
        ASSERT_EQ(routing::RetrieveDefaultRoutes(), 0);
        fake.defaults6.clear();
        forget();
    }
    // The IPv6 default route of the main table, or none for an empty text.
    void setDefault6(const std::string& gateway, unsigned interface = 0, unsigned metric = 0) {
        fake.defaults6.clear();
        if (gateway.empty()) return;
        fake.defaults6.push_back(support::FakeKernel::unicastDefault(gateway, metric));
        fake.defaults6.back().outputInterface = interface;
    }
    void forget() {
        fake.clear();
        sandbox.clearLog();
        lookups = 0;
    }
    // The commands that remove what the operations remember.
    Strings removals() {
        fake.clear();
        routing::DisableCustomRoutes();
        routing::UnsetRoutesForDns();
        routing::UnsetRoutesForDns6();
        return fake.commands;
    }

    support::Sandbox sandbox;
    support::FakeKernel fake;
    int lookups = 0;
    const unsigned loopback = ::if_nametoindex("lo");
};

// --- the tunnel's record ------------------------------------------------------------------------

// Only a tun device on the way to the tunnel's gateway becomes the tunnel's; it stays recorded,
// by name, until the close, and a restart finds it in the state file.
TEST_F(Routing, TheTunnelRecordHoldsOnlyTunDevicesAndOnlyUntilTheClose) {
    struct Case {
        const char* name;
        std::optional<netlink::Device> route;
        Strings recorded;
    };
    for (const Case& c : std::vector<Case>{
             {"an uplink", netlink::Device{2, "eth0", ARPHRD_ETHER}, {}},
             {"a PPP link", netlink::Device{3, "ppp0", ARPHRD_PPP}, {}},
             {"no route", std::nullopt, {}},
             {"a tun device", netlink::Device{loopback, "lo", ARPHRD_NONE}, {"lo"}},
         }) {
        SCOPED_TRACE(c.name);
        fake.routeDevice = c.route;
        EXPECT_EQ(routing::NoteTunnelDevice("10.8.0.1").has_value(), !c.recorded.empty());
        routing::NoteTunnelDevice("fd42::1");
        EXPECT_EQ(routing::CurrentTunnel().names(), c.recorded);
    }
    EXPECT_EQ(routing::CurrentTunnel().indexes(), std::vector<unsigned>{loopback});
    EXPECT_NE(support::readFile(core::paths().stateFile).find("tunneldev=lo\n"), std::string::npos);
    removals();
    EXPECT_EQ(routing::CurrentTunnel().names(), Strings{});
}

// --- discovery -------------------------------------------------------------------------------

using GatewayDiscovery = Routing;

TEST_F(GatewayDiscovery, UnreadableRouteTableFailsWithoutALookup) {
    setDefault6("fe80::1", loopback);
    EXPECT_EQ(routing::RetrieveDefaultRoutes(), 1);
    EXPECT_EQ(lookups, 0);
    EXPECT_TRUE(sandbox.messages().empty());
    routing::ReopenDefaultRoutes();
    EXPECT_TRUE(fake.commands.empty());
}

TEST_F(GatewayDiscovery, EveryBetterRouteIsLoggedAndTheBestIsSaved) {
    writeProcRoute(defaultLine("eth0", "198.51.100.1", "600") +
                   defaultLine("lo", "192.0.2.1", "100"));
    EXPECT_EQ(routing::RetrieveDefaultRoutes(), 0);
    EXPECT_EQ(lookups, 1);
    EXPECT_EQ(sandbox.messages(),
              (Strings{"Found gateway eth0", "Found gateway lo", "Saving gateway lo"}));
    routing::ReopenIpv4Routes();
    EXPECT_EQ(fake.commands,
              Strings{"netlink add route inet default via 192.0.2.1 dev lo metric 100"});
}

TEST_F(GatewayDiscovery, HeaderOnlyTableStillLooksUpTheIpv6Gateway) {
    writeProcRoute("");
    setDefault6("2001:db8::1");
    EXPECT_EQ(routing::RetrieveDefaultRoutes(), 0);
    EXPECT_TRUE(sandbox.messages().empty());
    routing::ReopenDefaultRoutes();
    EXPECT_EQ(fake.commands, Strings{"netlink add route inet6 default via 2001:db8::1"});
}

TEST_F(GatewayDiscovery, UnreadableIpv6TableIsLoggedAndFailsOnlyWithoutAKnownIpv4Gateway) {
    const std::string message = "Error receiving data from socket";
    fake.tableUnreadable = true;
    writeProcRoute("");
    EXPECT_EQ(routing::RetrieveDefaultRoutes(), 1);
    EXPECT_EQ(sandbox.messages(), Strings{message});

    writeProcRoute(defaultLine("eth0", "192.0.2.1"));
    EXPECT_EQ(routing::RetrieveDefaultRoutes(), 0);
    // A gateway saved by an earlier call counts as well.
    writeProcRoute("");
    EXPECT_EQ(routing::RetrieveDefaultRoutes(), 0);
    EXPECT_EQ(sandbox.countContaining(message), 3);
}

TEST_F(GatewayDiscovery, TheTunnelsDefaultRoutesAreNeverTakenForThePhysicalOnes) {
    routing::setTunnelAddress(AF_INET, "10.8.0.1");
    routing::setTunnelAddress(AF_INET6, "fd42::1");
    writeProcRoute(defaultLine("tun0", "10.8.0.1") + defaultLine("eth0", "192.0.2.1", "100"));
    fake.defaults4 = {support::FakeKernel::unicastDefault("10.8.0.1")};
    // The tunnel's ::/3 is no default route; its default and the blackhole are not physical.
    fake.defaults6 = {support::FakeKernel::unicastDefault("fd42::1"),
                      support::FakeKernel::blackholeDefault6(),
                      support::FakeKernel::unicastDefault("fe80::1", 1024)};
    ASSERT_EQ(routing::RetrieveDefaultRoutes(), 0);
    EXPECT_EQ(routing::ipv4GatewayText(), "192.0.2.1");
    EXPECT_EQ(routing::ipv6GatewayText(), "fe80::1");
}

TEST_F(GatewayDiscovery, DiscoveryWithoutDefaultRoutesKeepsTheSavedGateways) {
    discover("192.0.2.1", "fe80::1", loopback);
    writeProcRoute(procLine("eth0", "0002000C", "00000000", "0001", "0", "00FFFFFF"));
    EXPECT_EQ(routing::RetrieveDefaultRoutes(), 0);
    EXPECT_TRUE(sandbox.messages().empty());
    routing::ReopenDefaultRoutes();
    EXPECT_EQ(fake.commands, (Strings{"netlink add route inet default via 192.0.2.1 dev lo",
                                      "netlink add route inet6 default via fe80::1 dev lo"}));
}

TEST_F(GatewayDiscovery, NewerGatewaysReplaceTheSavedOnes) {
    discover("192.0.2.1", "fe80::1", loopback);
    discover("198.51.100.1", "2001:db8::1");
    routing::ReopenDefaultRoutes();
    EXPECT_EQ(fake.commands, (Strings{"netlink add route inet default via 198.51.100.1 dev lo",
                                      "netlink add route inet6 default via 2001:db8::1"}));
}

TEST_F(GatewayDiscovery, Ipv6CheckDiscoversOnlyWhenNoGatewayIsKnown) {
    writeProcRoute("");
    setDefault6("fe80::1", loopback);
    EXPECT_EQ(routing::CheckForIpv6Environment(), 1);
    EXPECT_EQ(lookups, 1);
    EXPECT_EQ(routing::CheckForIpv6Environment(), 1);
    EXPECT_EQ(lookups, 1);

    // An IPv4 gateway alone answers the question: no IPv6 routing, no lookup.
    routing::InitRoutingVariablesOs();
    discover("192.0.2.1");
    setDefault6("fe80::1", loopback);
    EXPECT_EQ(routing::CheckForIpv6Environment(), 0);
    EXPECT_EQ(lookups, 0);
}

TEST_F(GatewayDiscovery, Ipv6CheckWarnsWhenDiscoveryFails) {
    EXPECT_EQ(routing::CheckForIpv6Environment(), 0);
    EXPECT_EQ(sandbox.messages(), Strings{"Error Retrieving Default Routes for IPv6 Check."});

    // A discovery that completes without finding anything is no failure.
    sandbox.clearLog();
    writeProcRoute("");
    EXPECT_EQ(routing::CheckForIpv6Environment(), 0);
    EXPECT_TRUE(sandbox.messages().empty());
}

TEST_F(GatewayDiscovery, FreeingForgetsBothGateways) {
    routing::FreeDefaultRoutes();  // nothing known: no effect
    discover("192.0.2.1", "fe80::1", loopback);
    routing::FreeDefaultRoutes();
    routing::ReopenDefaultRoutes();
    EXPECT_TRUE(fake.commands.empty());
    routing::CloseIpv4Routes();
    routing::CloseIpv6Routes();
    EXPECT_EQ(sandbox.messages(), (Strings{"Could not find default IPv4 routes, closing none.",
                                           "Could not find default IPv6 routes, closing none."}));
    EXPECT_TRUE(fake.commands.empty());
}

// --- route program choice --------------------------------------------------------------------

using RouteProgramChoice = Routing;

TEST_F(RouteProgramChoice, AnythingAtEitherPathSelectsTheRouteForm) {
    EXPECT_TRUE(routing::useIpTool());
    const std::string first = sandbox.path("sbin-route");
    const std::string second = sandbox.path("usr-bin-route");

    support::writeFile(second, "");
    ::chmod(second.c_str(), 0);
    EXPECT_FALSE(routing::useIpTool());
    ::unlink(second.c_str());
    EXPECT_TRUE(routing::useIpTool());

    ASSERT_EQ(::mkdir(first.c_str(), 0755), 0);
    EXPECT_FALSE(routing::useIpTool());
}

// --- commands of both forms ------------------------------------------------------------------

enum class Form { route, ip };

class RoutingCommands : public Routing, public ::testing::WithParamInterface<Form> {
  protected:
    RoutingCommands() {
        if (GetParam() == Form::route) installRouteProgram();
    }
    // The IPv4 command of the form under test.
    std::string v4(const std::string& routeForm, const std::string& ipForm) const {
        return GetParam() == Form::route ? routeForm : ipForm;
    }
    std::string tool() const { return GetParam() == Form::route ? "route" : "ip"; }
};

TEST_P(RoutingCommands, CloseRemovesEveryDefaultRouteButTheBlackhole) {
    discover("192.0.2.1", "fe80::1", loopback);
    fake.defaults4 = {support::FakeKernel::unicastDefault("192.0.2.1"),
                      support::FakeKernel::unicastDefault("192.0.2.3", 50),
                      support::FakeKernel::unicastDefault("198.51.100.1", 600)};
    fake.defaults6 = {support::FakeKernel::unicastDefault("fe80::1", 1024),
                      support::FakeKernel::blackholeDefault6()};
    routing::CloseDefaultRoutes();
    const std::string deletion = v4("route del default", "ip route del default");
    EXPECT_EQ(fake.commands, (Strings{deletion, deletion, deletion, "ip -6 route del default"}));
    EXPECT_TRUE(fake.defaults4.empty());
    ASSERT_EQ(fake.defaults6.size(), 1u);
    EXPECT_EQ(fake.defaults6[0].type, RTN_BLACKHOLE);
    EXPECT_EQ(sandbox.messages(), Strings{"Removing all routes using \"" + tool() + "\""});
}

TEST_P(RoutingCommands, CloseWithOnlyOneGatewayKnownStillClosesBothFamilies) {
    discover("192.0.2.1");
    fake.defaults4 = {support::FakeKernel::unicastDefault("192.0.2.1")};
    fake.defaults6 = {support::FakeKernel::unicastDefault("2001:db8::1", 1024)};
    routing::CloseDefaultRoutes();
    EXPECT_EQ(fake.commands, (Strings{v4("route del default", "ip route del default"),
                                      "ip -6 route del default"}));
}

TEST_P(RoutingCommands, CloseStopsAFamilysDeletionsWhenOneFails) {
    discover("192.0.2.1", "fe80::1", loopback);
    const std::string deletion = v4("route del default", "ip route del default");
    fake.defaults4 = {support::FakeKernel::unicastDefault("192.0.2.1"),
                      support::FakeKernel::unicastDefault("192.0.2.3", 50)};
    fake.defaults6 = {support::FakeKernel::unicastDefault("fe80::1", 1024)};
    fake.statuses[deletion] = 512;
    routing::CloseDefaultRoutes();
    EXPECT_EQ(fake.commands, (Strings{deletion, "ip -6 route del default"}));
    EXPECT_TRUE(fake.defaults6.empty());
}

TEST_P(RoutingCommands, CloseGivesUpOnARouteThatWillNotGoAfterSixteenRounds) {
    discover("192.0.2.1");
    routing::kernel().defaultRoutes = [](int family) {
        return std::optional(std::vector{
            support::FakeKernel::unicastDefault(family == AF_INET6 ? "fe80::1" : "192.0.2.1")});
    };
    routing::CloseDefaultRoutes();
    const std::string deletion = v4("route del default", "ip route del default");
    ASSERT_EQ(fake.commands.size(), 32u);
    EXPECT_EQ(std::count(fake.commands.begin(), fake.commands.end(), deletion), 16);
    EXPECT_EQ(fake.commands.back(), "ip -6 route del default");
}

TEST_P(RoutingCommands, CloseRunsEachDeletionOnceWhenTheTableCannotBeRead) {
    discover("192.0.2.1");
    fake.tableUnreadable = true;
    routing::CloseDefaultRoutes();
    EXPECT_EQ(fake.commands, (Strings{v4("route del default", "ip route del default"),
                                      "ip -6 route del default"}));
}

TEST_P(RoutingCommands, CloseWithNoGatewayKnownDiscoversThemFirst) {
    writeProcRoute(defaultLine("eth0", "192.0.2.1"));
    fake.defaults4 = {support::FakeKernel::unicastDefault("192.0.2.1")};
    routing::CloseDefaultRoutes();
    EXPECT_EQ(lookups, 2);  // one discovery, then the IPv6 table before its deletion
    EXPECT_EQ(fake.commands, Strings{v4("route del default", "ip route del default")});
    EXPECT_TRUE(sandbox.logged("No gateways yet known, trying to retrieve."));
    EXPECT_FALSE(sandbox.logged("Could not find default routes, closing none."));

    // The route removed there is the one restored, by either form.
    fake.clear();
    routing::ReopenDefaultRoutes();
    EXPECT_EQ(fake.commands, Strings{"netlink add route inet default via 192.0.2.1"});
}

TEST_P(RoutingCommands, CloseIpv6RoutesUsesTheIpFormWhateverIsInstalled) {
    discover("", "fe80::1", loopback);
    fake.defaults6 = {support::FakeKernel::unicastDefault("fe80::1", 100),
                      support::FakeKernel::unicastDefault("fe80::2", 1024),
                      support::FakeKernel::blackholeDefault6()};
    fake.defaults4 = {support::FakeKernel::unicastDefault("192.0.2.1")};
    routing::CloseIpv6Routes();
    EXPECT_EQ(fake.commands, (Strings{"ip -6 route del default", "ip -6 route del default"}));
    EXPECT_EQ(fake.defaults6.size(), 1u);
    EXPECT_EQ(fake.defaults4.size(), 1u);
    EXPECT_EQ(sandbox.messages(), Strings{"Removing all IPv6 routes using \"ip\""});

    // CloseIpv4Routes needs an IPv4 gateway of its own.
    forget();
    routing::CloseIpv4Routes();
    EXPECT_TRUE(fake.commands.empty());
    EXPECT_EQ(sandbox.messages(), Strings{"Could not find default IPv4 routes, closing none."});
}

TEST_P(RoutingCommands, CloseIpv4RoutesLeavesIpv6Alone) {
    discover("192.0.2.1", "fe80::1", loopback);
    fake.defaults4 = {support::FakeKernel::unicastDefault("192.0.2.1")};
    fake.defaults6 = {support::FakeKernel::unicastDefault("fe80::1", 1024)};
    routing::CloseIpv4Routes();
    EXPECT_EQ(fake.commands, Strings{v4("route del default", "ip route del default")});
    EXPECT_EQ(sandbox.messages(), Strings{"Removing all IPv4 routes using \"" + tool() + "\""});
}

TEST_P(RoutingCommands, ReopenRestoresTheSavedGateways) {
    discover("192.0.2.1", "2001:db8::1", loopback);
    routing::ReopenDefaultRoutes();
    EXPECT_EQ(fake.commands, (Strings{"netlink add route inet default via 192.0.2.1 dev lo",
                                      "netlink add route inet6 default via 2001:db8::1 dev lo"}));
    EXPECT_EQ(sandbox.messages(), (Strings{"Reopening IPv4 route using gateway 192.0.2.1",
                                           "Reopening IPv6 route using gateway 2001:db8::1"}));
    // Reopening forgets nothing.
    fake.clear();
    routing::ReopenDefaultRoutes();
    EXPECT_EQ(fake.commands.size(), 2u);
}

TEST_P(RoutingCommands, ReopenThroughALinkLocalGatewayNamesItsInterface) {
    discover("", "fe80::1", loopback);
    routing::ReopenDefaultRoutes();
    EXPECT_EQ(fake.commands, Strings{"netlink add route inet6 default via fe80::1 dev lo"});
}

TEST_P(RoutingCommands, ReopenRestoresTheIpv6MetricTheLookupReported) {
    writeProcRoute("");
    setDefault6("fe80::1", loopback, 100);
    ASSERT_EQ(routing::RetrieveDefaultRoutes(), 0);
    fake.clear();
    routing::ReopenDefaultRoutes();
    EXPECT_EQ(fake.commands,
              Strings{"netlink add route inet6 default via fe80::1 dev lo metric 100"});
}

TEST_F(GatewayDiscovery, EveryAttributeComesBackWithTheLifetimeLeftAndWithoutALostSource) {
    const std::string advertised =
        "via fe80::1 dev lo metric 1024 proto 9 src 2001:db8::10 pref high mtu 1400";
    const std::string sourced = "via fe80::3 dev lo metric 1024 src 2001:db8::10";
    const std::int64_t now = routing::bootSeconds();
    for (const std::string& words :
         {advertised + " expires-at " + std::to_string(now + 600),
          "via fe80::2 dev lo metric 1024 proto 9 expires-at " + std::to_string(now - 1), sourced})
        routing::state().removedRoutes.push_back(*routing::parseRouteWords(AF_INET6, words));
    // The host no longer has the source address.
    fake.statuses["netlink add route inet6 default " + sourced] = -EINVAL;
    routing::ReopenIpv6Routes();

    ASSERT_EQ(fake.commands.size(), 3u) << testing::PrintToString(fake.commands);
    const std::string prefix = "netlink add route inet6 default " + advertised + " expires ";
    EXPECT_TRUE(fake.commands[0] == prefix + "600" || fake.commands[0] == prefix + "599")
        << fake.commands[0];
    EXPECT_EQ(fake.commands[1], "netlink add route inet6 default " + sourced);
    EXPECT_EQ(fake.commands[2], "netlink add route inet6 default via fe80::3 dev lo metric 1024");
    EXPECT_EQ(sandbox.countContaining("the lifetime its router gave it has run out"), 1);
    EXPECT_EQ(sandbox.countContaining("comes back without its source address"), 1);
    EXPECT_TRUE(routing::state().removedRoutes.empty());
}

TEST_F(GatewayDiscovery, AReopeningForgetsOnlyTheRoutesThatCameBack) {
    const std::string back = "via 192.0.2.1 dev lo metric 100";
    const std::string unreachable = "via 192.0.2.2 dev lo metric 200";
    const std::string refused = "via 192.0.2.3 dev lo metric 300";
    const std::string gone = "via 192.0.2.4 dev nonexistent0 metric 400";
    for (const std::string& words : {back, unreachable, refused, gone})
        routing::state().removedRoutes.push_back(*routing::parseRouteWords(AF_INET, words));
    fake.statuses["netlink add route inet default " + unreachable] = -ENETUNREACH;
    fake.statuses["netlink add route inet default " + refused] = -EPERM;
    routing::ReopenIpv4Routes();
    routing::FreeDefaultRoutes();
    const auto kept = [] {
        Strings words;
        for (const routing::DefaultRoute& route : routing::CurrentState().removedRoutes)
            words.push_back(routing::routeWords(route));
        return words;
    };
    EXPECT_EQ(kept(), (Strings{unreachable, refused}));
    EXPECT_EQ(sandbox.countContaining("2 default route(s) (IPv4) did not come back"), 1);
    EXPECT_NE(support::readFile(core::paths().stateFile).find("removed=inet " + refused),
              std::string::npos);
    // The next reopening puts them back, and then nothing is left.
    fake.statuses.clear();
    routing::ReopenIpv4Routes();
    EXPECT_TRUE(kept().empty());
}

TEST_F(GatewayDiscovery, AnAdvertisedRouteIsLeftToTheKernelWhereItLearnsDefaultRouters) {
    using Settings = routing::RouterAdvertisementSettings;
    const std::string advertised1 = "via fe80::1 dev lo metric 1024 proto 9";
    const std::string advertised2 = "via fe80::2 dev lo metric 1024 proto 9";
    const std::string configured = "via fe80::3 dev lo metric 2048";
    const auto restored = [](const std::string& words) {
        return "netlink add route inet6 default " + words;
    };
    const Strings relearnt = {restored(configured), "solicit " + std::to_string(loopback)};
    const Strings putBack = {restored(advertised1), restored(advertised2), restored(configured)};
    const struct {
        const char* name;
        std::optional<Settings> settings;
        Strings commands;
    } cases[] = {
        {"a host", Settings{1, 0, 1}, relearnt},
        {"a router that takes advertisements", Settings{2, 1, 1}, relearnt},
        {"a router", Settings{1, 1, 1}, putBack},
        {"a network manager reads them", Settings{0, 0, 1}, putBack},
        {"no default routers", Settings{1, 0, 0}, putBack},
        {"no IPv6 settings", std::nullopt, putBack},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake.clear();
        fake.advertisementSettings.clear();
        if (c.settings) fake.advertisementSettings["lo"] = *c.settings;
        for (const std::string& words : {advertised1, advertised2, configured})
            routing::state().removedRoutes.push_back(*routing::parseRouteWords(AF_INET6, words));
        routing::ReopenIpv6Routes();
        EXPECT_EQ(fake.commands, c.commands);
        EXPECT_TRUE(routing::state().removedRoutes.empty());
    }
}

TEST_P(RoutingCommands, AnUplinkWithoutGatewayIsReachedByItsDevice) {
    writeProcRoute(procLine("lo", "00000000", "00000000", "0001", "0", "00000000"));
    ASSERT_EQ(routing::RetrieveDefaultRoutes(), 0);
    fake.clear();
    routing::SetRouteForServer("198.51.100.7");
    routing::ReopenDefaultRoutes();
    EXPECT_EQ(fake.commands,
              (Strings{v4("route add 198.51.100.7 dev lo", "ip route add 198.51.100.7 dev lo"),
                       "netlink add route inet default dev lo"}));
}

TEST_P(RoutingCommands, TunnelRouteCommandIsLoggedWithItsStatus) {
    discover("192.0.2.1", "fe80::1", loopback);
    const std::string command =
        v4("route add default gw 10.8.0.1", "ip route add default via 10.8.0.1");
    EXPECT_EQ(routing::EnableRouteForIpv4("10.8.0.1"), 1);
    EXPECT_EQ(fake.commands, Strings{command});
    EXPECT_EQ(sandbox.messages(), (Strings{"Setting a default IPv4 route using tunnel gateway "
                                           "10.8.0.1",
                                           command, "Has returned a result of 0"}));

    forget();
    fake.statuses[command] = 512;
    EXPECT_EQ(routing::EnableRouteForIpv4("10.8.0.1"), 0);
    EXPECT_TRUE(sandbox.logged("Has returned a result of 512"));

    forget();
    EXPECT_EQ(routing::EnableRouteForIpv6("fd42::1"), 1);
    EXPECT_EQ(fake.commands, Strings{"ip -6 route add default via fd42::1"});
    EXPECT_EQ(sandbox.messages(),
              Strings{"Setting a default IPv6 route using tunnel gateway fd42::1"});
}

TEST_P(RoutingCommands, ServerRoutesLeadThroughThePhysicalGateways) {
    discover("192.0.2.1", "fe80::1", loopback);
    EXPECT_EQ(routing::SetRouteForServer("198.51.100.7"), 1);
    EXPECT_EQ(routing::SetRouteForServer6("2001:db8:5::7"), 1);
    EXPECT_EQ(fake.commands, (Strings{v4("route add 198.51.100.7 gw 192.0.2.1",
                                         "ip route add 198.51.100.7 via 192.0.2.1"),
                                      "ip -6 route add 2001:db8:5::7 via fe80::1 dev lo"}));
    EXPECT_EQ(sandbox.messages(),
              (Strings{"Adding IPv4 route to 198.51.100.7 using 192.0.2.1 as gateway",
                       "Adding IPv6 route to 2001:db8:5::7 using fe80::1 as gateway"}));

    // A global gateway needs no interface.
    routing::InitRoutingVariablesOs();
    discover("192.0.2.1", "2001:db8::1", loopback);
    routing::SetRouteForServer6("2001:db8:5::7");
    EXPECT_EQ(fake.commands, Strings{"ip -6 route add 2001:db8:5::7 via 2001:db8::1"});
}

TEST_P(RoutingCommands, DisableCustomRoutesRemovesServersAndTunnelDefaultsInOrder) {
    discover("192.0.2.1", "fe80::1", loopback);
    routing::EnableRouteForIpv6("fd42::1");
    routing::EnableRouteForIpv4("10.8.0.1");
    routing::SetRouteForServer6("2001:db8:5::7");
    routing::SetRouteForServer("198.51.100.7");
    routing::SetRouteForDns("198.51.100.53");
    forget();
    routing::DisableCustomRoutes();
    EXPECT_EQ(fake.commands,
              (Strings{v4("route del 198.51.100.7", "ip route del 198.51.100.7"),
                       "ip -6 route del 2001:db8:5::7",
                       v4("route del default gw 10.8.0.1", "ip route del default via 10.8.0.1"),
                       "ip -6 route del default via fd42::1"}));
    EXPECT_EQ(
        sandbox.messages(),
        (Strings{"Removing IPv4 route to 198.51.100.7", "Removing IPv6 route to 2001:db8:5::7",
                 "Removing IPv4 tunneled route 10.8.0.1", "Removing IPv6 tunneled route fd42::1"}));

    // Everything is forgotten but the DNS routes.
    EXPECT_EQ(removals(), Strings{v4("route del 198.51.100.53", "ip route del 198.51.100.53")});
}

TEST_P(RoutingCommands, FailedServerAndTunnelRoutesAreStillRemovedLater) {
    discover("192.0.2.1", "fe80::1", loopback);
    fake.statuses[v4("route add 198.51.100.7 gw 192.0.2.1",
                     "ip route add 198.51.100.7 via 192.0.2.1")] = 512;
    fake.statuses["ip -6 route add default via fd42::1"] = 256;
    EXPECT_EQ(routing::SetRouteForServer("198.51.100.7"), 0);
    EXPECT_EQ(routing::EnableRouteForIpv6("fd42::1"), 0);
    EXPECT_TRUE(sandbox.logged("Error 512 setting route to server address."));
    EXPECT_EQ(removals(), (Strings{v4("route del 198.51.100.7", "ip route del 198.51.100.7"),
                                   "ip -6 route del default via fd42::1"}));
}

TEST_P(RoutingCommands, DnsRoutesAreAddedOnceAndRemovedOldestFirst) {
    discover("192.0.2.1", "fe80::1", loopback);
    EXPECT_EQ(routing::SetRouteForDns("198.51.100.53"), 0);
    EXPECT_EQ(routing::SetRouteForDns6("2001:db8:53::53"), 0);
    EXPECT_EQ(routing::SetRouteForDns("203.0.113.53"), 0);
    EXPECT_EQ(routing::SetRouteForDns("198.51.100.53"), 0);
    EXPECT_EQ(
        fake.commands,
        (Strings{
            v4("route add 198.51.100.53 gw 192.0.2.1", "ip route add 198.51.100.53 via 192.0.2.1"),
            "ip -6 route add 2001:db8:53::53 via fe80::1 dev lo",
            v4("route add 203.0.113.53 gw 192.0.2.1", "ip route add 203.0.113.53 via 192.0.2.1")}));
    EXPECT_TRUE(sandbox.logged("Route to DNS server address 198.51.100.53 already set."));
    EXPECT_TRUE(
        sandbox.logged("Adding IPv6 route to DNS 2001:db8:53::53 using fe80::1 as gateway"));

    forget();
    routing::UnsetRoutesForDns();
    routing::UnsetRoutesForDns6();
    EXPECT_EQ(fake.commands, (Strings{v4("route del 198.51.100.53", "ip route del 198.51.100.53"),
                                      v4("route del 203.0.113.53", "ip route del 203.0.113.53"),
                                      "ip -6 route del 2001:db8:53::53"}));
    EXPECT_EQ(sandbox.messages(), (Strings{"Removing IPv4 route to DNS 198.51.100.53",
                                           "Removing IPv4 route to DNS 203.0.113.53",
                                           "Removing IPv6 route to DNS 2001:db8:53::53"}));

    // The lists are empty: removing again does nothing, adding again runs a command.
    forget();
    routing::UnsetRoutesForDns();
    routing::UnsetRoutesForDns6();
    EXPECT_TRUE(fake.commands.empty());
    EXPECT_TRUE(sandbox.messages().empty());
    routing::SetRouteForDns("198.51.100.53");
    EXPECT_EQ(fake.commands.size(), 1u);
}

std::string formName(const ::testing::TestParamInfo<Form>& form) {
    return form.param == Form::route ? "RouteForm" : "IpForm";
}

INSTANTIATE_TEST_SUITE_P(BothForms, RoutingCommands, ::testing::Values(Form::route, Form::ip),
                         formName);

// --- IPv6 blackhole --------------------------------------------------------------------------

using Ipv6Blackhole = Routing;

TEST_F(Ipv6Blackhole, IsAddedAtTheHighestMetricWithTheIpProgram) {
    installRouteProgram();
    fake.defaults6 = {support::FakeKernel::unicastDefault("fe80::1", 1024)};
    EXPECT_EQ(routing::DisableIpv6(), 1);
    EXPECT_EQ(fake.commands, Strings{"ip -6 route add blackhole default metric 4294967295"});
    EXPECT_EQ(sandbox.messages(), Strings{"Adding IPv6 blackhole"});

    // Once it exists, a second call succeeds without a command.
    fake.clear();
    EXPECT_EQ(routing::DisableIpv6(), 1);
    EXPECT_TRUE(fake.commands.empty());
}

TEST_F(Ipv6Blackhole, FailedCommandGivesZero) {
    fake.statuses["ip -6 route add blackhole default metric 4294967295"] = 512;
    EXPECT_EQ(routing::DisableIpv6(), 0);
    fake.tableUnreadable = true;
    fake.clear();
    EXPECT_EQ(routing::DisableIpv6(), 0);
    EXPECT_EQ(fake.commands, Strings{"ip -6 route add blackhole default metric 4294967295"});
}

// --- tunnel, server and DNS refusals ---------------------------------------------------------

using HostRoutes = Routing;

TEST_F(HostRoutes, TunnelRoutesWithoutAGatewayRunNothing) {
    EXPECT_EQ(routing::EnableRouteForIpv6("fd42::1"), 0);
    EXPECT_TRUE(sandbox.messages().empty());
    EXPECT_EQ(routing::EnableRouteForIpv4("10.8.0.1"), 0);
    EXPECT_EQ(sandbox.messages(),
              Strings{"Could not enable IPv4 Route - no default routes stored."});
    EXPECT_TRUE(fake.commands.empty());
    EXPECT_TRUE(removals().empty());
}

TEST_F(HostRoutes, ServerAndDnsRoutesWithoutAGatewayAreRefused) {
    EXPECT_EQ(routing::SetRouteForServer("198.51.100.7"), 0);
    EXPECT_EQ(routing::SetRouteForServer6("2001:db8:5::7"), 0);
    EXPECT_EQ(routing::SetRouteForDns("198.51.100.53"), -1);
    EXPECT_EQ(routing::SetRouteForDns6("2001:db8:53::53"), -1);
    EXPECT_EQ(sandbox.messages(),
              (Strings{"Asked to set route for server but I know no gateway.",
                       "Asked to set route for server but I know no gateway (IPv6).",
                       "Asked to set route for DNS server but I know no gateway.",
                       "Asked to set route for DNS server but I know no gateway (IPv6)."}));
    EXPECT_TRUE(fake.commands.empty());
    EXPECT_TRUE(removals().empty());
}

TEST_F(HostRoutes, EmptyTextsAreRefusedAndKeepWhatWasStored) {
    discover("192.0.2.1", "2001:db8::1");
    routing::SetRouteForServer("198.51.100.7");
    routing::SetRouteForDns6("2001:db8:53::53");
    forget();
    EXPECT_EQ(routing::SetRouteForServer(""), 0);
    EXPECT_EQ(routing::SetRouteForServer6(""), 0);
    EXPECT_EQ(routing::SetRouteForDns(""), -1);
    EXPECT_EQ(routing::SetRouteForDns6(""), -1);
    EXPECT_EQ(sandbox.messages(),
              (Strings{"Asked to set route for server but received no address.",
                       "Asked to set route for server but received no address (IPv6).",
                       "Asked to set route for DNS server but received no address.",
                       "Asked to set route for DNS server but received no address (IPv6)."}));
    EXPECT_TRUE(fake.commands.empty());
    EXPECT_EQ(removals(),
              (Strings{"ip route del 198.51.100.7", "ip -6 route del 2001:db8:53::53"}));
}

TEST_F(HostRoutes, SecondServerReplacesTheFirstWithoutRemovingIt) {
    discover("192.0.2.1");
    routing::SetRouteForServer("198.51.100.7");
    routing::SetRouteForServer("203.0.113.7");
    EXPECT_EQ(removals(), Strings{"ip route del 203.0.113.7"});
}

// --- DNS lists -------------------------------------------------------------------------------

using DnsRoutes = Routing;

TEST_F(DnsRoutes, TextsAreComparedByteForByte) {
    discover("192.0.2.1", "2001:db8::1");
    EXPECT_EQ(routing::SetRouteForDns6("2001:db8::53"), 0);
    EXPECT_EQ(routing::SetRouteForDns6("2001:db8:0::53"), 0);
    EXPECT_EQ(routing::SetRouteForDns6("2001:db8::53"), 0);
    EXPECT_EQ(fake.commands, (Strings{"ip -6 route add 2001:db8::53 via 2001:db8::1",
                                      "ip -6 route add 2001:db8:0::53 via 2001:db8::1"}));
    EXPECT_EQ(sandbox.countContaining("already set (IPv6)."), 1);
}

TEST_F(DnsRoutes, FailedCommandLeavesTheListAsItWasAndGivesTheRawStatus) {
    discover("192.0.2.1");
    fake.statuses["ip route add 198.51.100.1 via 192.0.2.1"] = 512;
    EXPECT_EQ(routing::SetRouteForDns("198.51.100.1"), 512);
    EXPECT_TRUE(sandbox.logged("Error 512 setting route to server address."));
    EXPECT_TRUE(removals().empty());

    for (const char* address : {"198.51.100.53", "203.0.113.53", "192.0.2.53"}) {
        EXPECT_EQ(routing::SetRouteForDns(address), 0);
    }
    EXPECT_EQ(routing::SetRouteForDns("198.51.100.1"), 512);
    // A failed address is not in the list: asking again runs its command again.
    fake.statuses.clear();
    fake.clear();
    EXPECT_EQ(routing::SetRouteForDns("198.51.100.1"), 0);
    EXPECT_EQ(fake.commands, Strings{"ip route add 198.51.100.1 via 192.0.2.1"});
    EXPECT_EQ(removals(), (Strings{"ip route del 198.51.100.53", "ip route del 203.0.113.53",
                                   "ip route del 192.0.2.53", "ip route del 198.51.100.1"}));
}

// --- client texts that are no address ---------------------------------------------------------

using AddressCheck = Routing;

TEST_F(AddressCheck, TextsThatAreNoIpv4AddressRunNothingAndChangeNothing) {
    discover("192.0.2.1", "2001:db8::1");
    routing::EnableRouteForIpv4("10.8.0.1");
    routing::SetRouteForServer("198.51.100.7");
    routing::SetRouteForDns("198.51.100.53");
    forget();
    const Strings texts = {
        "198.51.100.7;touch /tmp/x", "$(reboot)", "10.8.0.1 dev eth0", "::1", "198.51.100.7 ",
        "198.51.100.7/32",           "-6",        "203.0.113.0x1"};
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        sandbox.clearLog();
        EXPECT_EQ(routing::EnableRouteForIpv4(text), 0);
        EXPECT_EQ(routing::SetRouteForServer(text), 0);
        EXPECT_EQ(routing::SetRouteForDns(text), -1);
        const Strings messages = sandbox.messages();
        ASSERT_EQ(messages.size(), 3u);
        for (const std::string& message : messages) {
            EXPECT_NE(message.find(text), std::string::npos) << message;
        }
    }
    sandbox.clearLog();
    EXPECT_EQ(routing::EnableRouteForIpv4(""), 0);
    EXPECT_EQ(sandbox.messages().size(), 1u);
    EXPECT_TRUE(fake.commands.empty());
    EXPECT_EQ(removals(), (Strings{"ip route del 198.51.100.7", "ip route del default via 10.8.0.1",
                                   "ip route del 198.51.100.53"}));
}

TEST_F(AddressCheck, TextsThatAreNoIpv6AddressRunNothingAndChangeNothing) {
    discover("192.0.2.1", "2001:db8::1");
    routing::EnableRouteForIpv6("fd42::1");
    routing::SetRouteForServer6("2001:db8:5::7");
    routing::SetRouteForDns6("2001:db8:53::53");
    forget();
    const Strings texts = {"10.8.0.1",   "2001:db8::7;touch /tmp/x",
                           "$(reboot)",  "2001:db8::7 dev eth0",
                           "fe80::1%lo", "2001:db8::/64",
                           "fd42:::1"};
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        sandbox.clearLog();
        EXPECT_EQ(routing::EnableRouteForIpv6(text), 0);
        EXPECT_EQ(routing::SetRouteForServer6(text), 0);
        EXPECT_EQ(routing::SetRouteForDns6(text), -1);
        const Strings messages = sandbox.messages();
        ASSERT_EQ(messages.size(), 3u);
        for (const std::string& message : messages) {
            EXPECT_NE(message.find(text), std::string::npos) << message;
        }
    }
    EXPECT_TRUE(fake.commands.empty());
    EXPECT_EQ(removals(),
              (Strings{"ip -6 route del 2001:db8:5::7", "ip -6 route del default via fd42::1",
                       "ip -6 route del 2001:db8:53::53"}));
}

// --- command runner --------------------------------------------------------------------------

TEST(CommandRunner, WordsAreSeparatedByRunsOfBlanks) {
    EXPECT_EQ(routing::commandWords("ip  route del default via 192.0.2.1"),
              (Strings{"ip", "route", "del", "default", "via", "192.0.2.1"}));
    EXPECT_EQ(routing::commandWords("  route   del default  "),
              (Strings{"route", "del", "default"}));
    EXPECT_TRUE(routing::commandWords("").empty());
    EXPECT_TRUE(routing::commandWords("   ").empty());
    // Nothing but blanks separates: no quoting, no expansion.
    EXPECT_EQ(routing::commandWords("ip route add $(reboot);x 'a b'"),
              (Strings{"ip", "route", "add", "$(reboot);x", "'a", "b'"}));
}

TEST(CommandRunner, CommandsAreCutAt511Characters) {
    const std::string address(600, '1');
    const std::string command =
        routing::formatCommand("ip route add %s via %s", address.c_str(), "192.0.2.1");
    EXPECT_EQ(command.size(), 511u);
    EXPECT_EQ(command, ("ip route add " + address).substr(0, 511));
    EXPECT_EQ(routing::formatCommand("ip -6 route del default"), "ip -6 route del default");

    support::FakeKernel fake;
    routing::runCommand(std::string(600, 'x'));
    ASSERT_EQ(fake.commands.size(), 1u);
    EXPECT_EQ(fake.commands[0], std::string(511, 'x'));
}

TEST(CommandRunner, StatusIsTheRawWaitStatus) {
    EXPECT_EQ(routing::spawnCommand("true"), 0);
    EXPECT_EQ(routing::spawnCommand("false"), 256);
    EXPECT_EQ(routing::spawnCommand("grep -q x /nonexistent/telvord-test"), 512);
    EXPECT_EQ(routing::spawnCommand("telvord-no-such-program"), 127 << 8);
    EXPECT_EQ(routing::spawnCommand(""), 127 << 8);
}

TEST(CommandRunner, ProgramsRunWithoutAShell) {
    // A shell would make this "test -d /root-or-home", which holds.
    EXPECT_EQ(routing::spawnCommand("test -d $HOME"), 256);
    support::TempDir dir;
    const std::string planted = dir / "planted";
    EXPECT_NE(routing::spawnCommand("test -d /;touch " + planted), 0);
    EXPECT_FALSE(support::exists(planted));
    EXPECT_EQ(routing::spawnCommand("test -d " + dir.path()), 0);
}

}  // namespace
