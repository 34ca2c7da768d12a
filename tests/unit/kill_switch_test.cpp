// The kill switch's requests as the kernel reads them, and what installing, removing and
// noticing a loss do against the fake kernel.

#include <linux/fib_rules.h>
#include <linux/rtnetlink.h>

#include <gtest/gtest.h>

#include <map>

#include "control/status.h"
#include "fake_kernel.h"
#include "netlink/bytes.h"
#include "routing/kill_switch.h"
#include "routing/routing.h"
#include "routing/state.h"
#include "support.h"

namespace {

using routing::Change;
using routing::killSwitchRules;
using namespace netlink;

// The fields of a request the kernel acts on, as one line: message type and flags, family,
// the rule's action or the route's type and flags, then each 32-bit attribute as type=value.
std::string decode(const std::vector<std::byte>& request) {
    const auto type = load<std::uint16_t>(request, 4);
    const bool rule = type == RTM_NEWRULE || type == RTM_DELRULE;
    const auto header = load<rtmsg>(request, sizeof(nlmsghdr));  // rule headers share the layout
    std::string text = std::to_string(type) +
                       " flags=" + std::to_string(load<std::uint16_t>(request, 6)) +
                       " family=" + std::to_string(header.rtm_family);
    text += rule ? " action=" + std::to_string(load<fib_rule_hdr>(request, 16).action)
                 : " type=" + std::to_string(header.rtm_type) +
                       " rtflags=" + std::to_string(header.rtm_flags);
    const std::size_t start = NLMSG_LENGTH(rule ? sizeof(fib_rule_hdr) : sizeof(rtmsg));
    forEachAttribute(std::span(request).subspan(start), [&](std::uint16_t attribute, auto data) {
        text += " " + std::to_string(attribute) + "=";
        if (!rule && attribute == RTA_GATEWAY) {
            text += netlink::Address::fromBytes(header.rtm_family, data.data()).text();
        } else {
            text += std::to_string(load<std::uint32_t>(data, 0));
        }
    });
    return text;
}

routing::RouteInfo tunnelRoute() {
    routing::RouteInfo route = support::FakeKernel::unicastDefault("10.8.0.1", 5);
    route.outputInterface = 7;
    route.flags = RTNH_F_ONLINK | RTNH_F_DEAD;  // only the on-link flag is copied
    return route;
}

constexpr int addFlags = NLM_F_REQUEST | NLM_F_ACK | NLM_F_CREATE | NLM_F_EXCL;
constexpr int delFlags = NLM_F_REQUEST | NLM_F_ACK;

struct RequestCase {
    std::vector<std::byte> request;
    std::string expected;
};

TEST(KillSwitchRequests, CarryWhatTheKernelNeedsAndAddsNeverDuplicate) {
    const auto f = [](int flags) { return " flags=" + std::to_string(flags); };
    const std::vector<RequestCase> cases = {
        // lookup main suppress_prefixlength 0 (FRA_PRIORITY 6, FRA_TABLE 15, FRA_SUPPRESS 14)
        {routing::ruleRequest(Change::Add, AF_INET, killSwitchRules[0]),
         "32" + f(addFlags) + " family=2 action=1 6=1000 15=254 14=0"},
        {routing::ruleRequest(Change::Remove, AF_INET6, killSwitchRules[1]),
         "33" + f(delFlags) + " family=10 action=1 6=1001 15=1000"},
        // unreachable default metric 4294967295 table 1000 (RTA_TABLE 15, RTA_PRIORITY 6)
        {routing::unreachableRequest(Change::Add, AF_INET6),
         "24" + f(addFlags) + " family=10 type=7 rtflags=0 15=1000 6=4294967295"},
        {routing::tableCopyRequest(Change::Add, tunnelRoute()),
         "24" + f(addFlags) + " family=2 type=1 rtflags=4 15=1000 5=10.8.0.1 4=7 6=5"},
        {routing::tableCopyRequest(Change::Remove, tunnelRoute()),
         "25" + f(delFlags) + " family=2 type=0 rtflags=0 15=1000 5=10.8.0.1"},
        {routing::tableDefaultRemoval(AF_INET),
         "25" + f(delFlags) + " family=2 type=0 rtflags=0 15=1000"},
    };
    for (const RequestCase& c : cases)
        EXPECT_EQ(decode(c.request), c.expected);
}

class KillSwitch : public ::testing::Test {
  protected:
    void SetUp() override { routing::InitRoutingVariablesOs(); }
    void TearDown() override { routing::InitRoutingVariablesOs(); }

    support::Sandbox sandbox;
    support::FakeKernel kernel;
};

TEST_F(KillSwitch, InstallingTwiceLeavesOneOfEachAndRemovingLeavesNothing) {
    routing::InstallKillSwitch();
    const auto once = kernel.entries;
    EXPECT_EQ(once.size(), 6u);
    routing::InstallKillSwitch();
    EXPECT_EQ(kernel.entries, once);
    EXPECT_EQ(routing::killSwitchInPlace(AF_INET6), true);

    routing::RemoveKillSwitch();
    EXPECT_TRUE(kernel.entries.empty());
    EXPECT_EQ(routing::killSwitchInPlace(AF_INET), false);
}

TEST_F(KillSwitch, AnInstallCutShortBlocksEverythingAndIsAnErrorInTheLogAndTheStatus) {
    kernel.refusedEntries = {"rule inet 1000 table 254 suppress"};
    routing::InstallKillSwitch();
    // Without the rule that lets the main table serve, table 1000 answers everything.
    EXPECT_EQ(kernel.entries[0], "route inet table 1000 unreachable");
    EXPECT_EQ(kernel.entries[1], "rule inet 1001 table 1000");
    EXPECT_TRUE(sandbox.logged("The kill switch (IPv4) is not complete: rule 1000 missing"));
    EXPECT_EQ(control::currentStatus().killSwitch, control::Presence::Partial);

    kernel.refusedEntries.clear();
    routing::EnsureKillSwitch();
    EXPECT_EQ(control::currentStatus().killSwitch, control::Presence::Complete);
    kernel.entries.erase(kernel.entries.begin());  // another program took the unreachable route
    EXPECT_EQ(control::currentStatus().killSwitch, control::Presence::Partial);
}

TEST_F(KillSwitch, WithoutPolicyRoutingNothingIsSentAndOneWarningIsLogged) {
    kernel.foreignRules.reset();
    routing::state().policyRoutingMissing = false;
    routing::InstallKillSwitch();
    routing::InstallKillSwitch();
    EXPECT_TRUE(kernel.commands.empty());
    EXPECT_EQ(sandbox.countContaining("This kernel has no policy routing"), 1);
}

TEST_F(KillSwitch, AWarningNamesEachEarlierRuleThatLooksUpAnotherTable) {
    kernel.foreignRules = {{AF_INET, 0, RT_TABLE_LOCAL, FR_ACT_TO_TBL, {}},
                           {AF_INET, 500, 200, FR_ACT_TO_TBL, {}},
                           {AF_INET, 5000, 201, FR_ACT_TO_TBL, {}}};
    routing::InstallKillSwitch();
    EXPECT_EQ(sandbox.countContaining("before the kill switch's rules"), 1);
    EXPECT_TRUE(sandbox.logged(
        "Policy rule 500 (IPv4) looks up table 200 before the kill switch's rules and can route "
        "around them"));
}

std::vector<std::byte> deletion(unsigned short type, unsigned char family,
                                std::vector<std::pair<unsigned short, std::uint32_t>> words,
                                unsigned char routeType = RTN_UNICAST) {
    std::vector<std::pair<unsigned short, std::vector<std::byte>>> attributes;
    for (const auto& [attribute, value] : words) {
        std::vector<std::byte> bytes(4);
        std::memcpy(bytes.data(), &value, 4);
        attributes.emplace_back(attribute, bytes);
    }
    auto message = support::routeMessage(family, 0, attributes, type);
    message[16 + 7] = std::byte{routeType};  // rtm_type; a rule's action sits there too
    return message;
}

TEST(KillSwitchLoss, OnlyTheDeletionOfOursCounts) {
    struct Case {
        std::vector<std::byte> datagram;
        int family;
        bool rulesOrTable, blackhole;
    };
    const std::vector<Case> cases = {
        {deletion(RTM_DELRULE, AF_INET, {{FRA_PRIORITY, 1001}}), AF_INET, true, false},
        {deletion(RTM_DELRULE, AF_INET6, {{FRA_PRIORITY, 1002}}), AF_INET6, false, false},
        {deletion(RTM_NEWRULE, AF_INET, {{FRA_PRIORITY, 1000}}), AF_INET, false, false},
        {deletion(RTM_DELROUTE, AF_INET, {{RTA_TABLE, 1000}}, RTN_UNREACHABLE), AF_INET, true,
         false},
        {deletion(RTM_DELROUTE, AF_INET, {{RTA_TABLE, RT_TABLE_MAIN}}), AF_INET, false, false},
        {deletion(RTM_DELROUTE, AF_INET6, {{RTA_TABLE, RT_TABLE_MAIN}}, RTN_BLACKHOLE), AF_INET6,
         false, true},
    };
    for (const Case& c : cases) {
        const auto loss = routing::killSwitchLoss(c.datagram, c.family);
        EXPECT_EQ(loss.rulesOrTable, c.rulesOrTable);
        EXPECT_EQ(loss.blackhole, c.blackhole);
    }
}

}  // namespace
