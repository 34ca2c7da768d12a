// The routing operations against the kernel's real routing table, with the real `ip` and
// `route` programs, inside the sandbox's namespaces.

#include <net/if.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "routing/kernel.h"
#include "routing/routing.h"
#include "routing/runner.h"
#include "routing/state.h"
#include "system_test.h"

namespace systest {
namespace {

using Strings = std::vector<std::string>;

enum class Form { route, ip };

std::string formName(Form form) {
    return form == Form::route ? "RouteForm" : "IpForm";
}

// A sandbox host whose routing operations run in this process, against its kernel.
class RoutingOnHost : public InProcessRouting {
  protected:
    void useForm(Form form) {
        if (form == Form::ip) sandbox->hideRouteProgram();
        ASSERT_EQ(routing::useIpTool(), form == Form::ip);
    }

    int defaults4() const { return sandbox->countRoutes4("default"); }
    int defaults6() const { return sandbox->countRoutes6("default"); }
    int lines4(const std::string& prefix) const { return sandbox->countRoutes4(prefix); }
    int lines6(const std::string& prefix) const { return sandbox->countRoutes6(prefix); }
};

class RoutingForms : public RoutingOnHost, public ::testing::WithParamInterface<Form> {
  protected:
    void SetUp() override {
        RoutingOnHost::SetUp();
        if (IsSkipped()) return;
        useForm(GetParam());
    }
};

std::string formParamName(const ::testing::TestParamInfo<Form>& info) {
    return formName(info.param);
}

TEST_F(RoutingOnHost, DiscoveryFindsTheUplinkGateways) {
    ASSERT_EQ(routing::RetrieveDefaultRoutes(), 0);
    const routing::State& state = routing::state();
    ASSERT_TRUE(state.ipv4Gateway.has_value());
    EXPECT_EQ(routing::routeWords(*state.ipv4Gateway), "via 192.0.2.1 dev veth0");
    ASSERT_TRUE(state.ipv6Gateway.has_value());
    EXPECT_EQ(routing::routeWords(*state.ipv6Gateway), "via fe80::1 dev veth0 metric 1024");
    EXPECT_EQ(routing::CheckForIpv6Environment(), 1);
}

TEST_F(RoutingOnHost, DiscoveryWithoutIpv6RoutingFindsOnlyTheIpv4Gateway) {
    must("ip -6 route del default");
    ASSERT_EQ(routing::RetrieveDefaultRoutes(), 0);
    EXPECT_EQ(routing::ipv4GatewayText(), "192.0.2.1");
    EXPECT_FALSE(routing::state().ipv6Gateway.has_value());
    EXPECT_EQ(routing::CheckForIpv6Environment(), 0);
}

// --- close and reopen ------------------------------------------------------------------------

class CloseAndReopen : public RoutingOnHost,
                       public ::testing::WithParamInterface<std::tuple<Form, unsigned>> {
  protected:
    void SetUp() override {
        uplink.ipv6Metric = std::get<1>(GetParam());
        RoutingOnHost::SetUp();
        if (IsSkipped()) return;
        useForm(std::get<0>(GetParam()));
    }
};

TEST_P(CloseAndReopen, LeaveTheTableAsItWas) {
    const Strings before4 = sandbox->routes4();
    const Strings before6 = sandbox->routes6();
    ASSERT_EQ(defaults4(), 1);
    ASSERT_EQ(defaults6(), 1);

    routing::CloseDefaultRoutes();
    EXPECT_EQ(defaults4(), 0);
    EXPECT_EQ(defaults6(), 0);
    // A discovery now finds no default route and keeps the gateways saved before.
    EXPECT_EQ(routing::RetrieveDefaultRoutes(), 0);

    routing::ReopenDefaultRoutes();
    EXPECT_EQ(sandbox->routes4(), before4);
    EXPECT_EQ(sandbox->routes6(), before6);
}

std::string closeParamName(const ::testing::TestParamInfo<std::tuple<Form, unsigned>>& info) {
    return formName(std::get<0>(info.param)) + "Ipv6Metric" +
           std::to_string(std::get<1>(info.param));
}

INSTANTIATE_TEST_SUITE_P(BothForms, CloseAndReopen,
                         ::testing::Combine(::testing::Values(Form::route, Form::ip),
                                            ::testing::Values(1024u, 100u)),
                         closeParamName);

TEST_P(RoutingForms, TwoUplinksComeBackExactlyWithEveryAttributeAndTheLifetimeLeft) {
    sandbox->addSecondUplink();
    must(
        "ip route del default && ip route add default via 192.0.2.1 proto dhcp metric 100"
        " src 192.0.2.10 mtu lock 1400");
    must("ip route add default via 198.51.100.1 dev veth2 proto dhcp metric 600");
    // A network manager that reads the advertisements itself and sets their route: the kernel
    // would not learn it again.
    must("sysctl -qw net.ipv6.conf.veth0.accept_ra=0");
    must(
        "ip -6 route del default && ip -6 route add default via fe80::1 dev veth0 proto ra"
        " metric 1024 expires 600 pref high src 2001:db8::10");
    ASSERT_EQ(routing::RetrieveDefaultRoutes(), 0);
    EXPECT_EQ(routing::ipv4GatewayText(), "192.0.2.1");

    routing::CloseDefaultRoutes();
    EXPECT_EQ(defaults4(), 0);
    EXPECT_EQ(defaults6(), 0);

    routing::ReopenDefaultRoutes();
    EXPECT_EQ(sandbox->routes4()[0],
              "default via 192.0.2.1 dev veth0 proto dhcp src 192.0.2.10 metric 100 mtu lock 1400");
    EXPECT_EQ(sandbox->routes4()[1], "default via 198.51.100.1 dev veth2 proto dhcp metric 600");
    EXPECT_EQ(defaults4(), 2);
    // The router's lifetime goes on from where it was, not from its start.
    const Strings six = sandbox->routes6();
    const std::string restored =
        "default via fe80::1 dev veth0 proto ra src 2001:db8::10 metric 1024 expires ";
    const auto line = std::find_if(six.begin(), six.end(),
                                   [&](const std::string& l) { return l.starts_with(restored); });
    ASSERT_NE(line, six.end()) << must("ip -6 route show");
    const int left = std::stoi(line->substr(restored.size()));
    EXPECT_TRUE(left > 590 && left < 600) << *line;
    EXPECT_TRUE(line->ends_with("sec pref high")) << *line;
}

// --- IPv6 blackhole --------------------------------------------------------------------------

TEST_F(RoutingOnHost, BlackholeStandsBesideTheDefaultRouteAndOutlivesClosing) {
    ASSERT_EQ(routing::RetrieveDefaultRoutes(), 0);
    EXPECT_EQ(routing::DisableIpv6(), 1);
    EXPECT_EQ(lines6("blackhole default"), 1);
    EXPECT_EQ(lines6("default via fe80::1 dev veth0 metric 1024"), 1);

    EXPECT_EQ(routing::DisableIpv6(), 1);
    EXPECT_EQ(lines6("blackhole default"), 1);

    routing::CloseDefaultRoutes();
    EXPECT_EQ(lines6("default via"), 0);
    EXPECT_EQ(lines6("blackhole default"), 1);
    // Global IPv6 destinations now meet only the blackhole.
    EXPECT_NE(sh("ip -6 route get 2001:db8:99::1").status, 0);

    routing::ReopenDefaultRoutes();
    EXPECT_EQ(lines6("default via fe80::1 dev veth0 metric 1024"), 1);
    EXPECT_EQ(lines6("blackhole default"), 1);
    EXPECT_EQ(sh("ip -6 route get 2001:db8:99::1").status, 0);
}

// --- server, DNS and tunnel routes -----------------------------------------------------------

TEST_P(RoutingForms, ServerAndDnsRoutesLeadThroughTheUplinkAndGoAgain) {
    const Strings before4 = sandbox->routes4();
    const Strings before6 = sandbox->routes6();
    ASSERT_EQ(routing::RetrieveDefaultRoutes(), 0);

    EXPECT_EQ(routing::SetRouteForServer("198.51.100.7"), 1);
    EXPECT_EQ(routing::SetRouteForServer6("2001:db8:5::7"), 1);
    EXPECT_EQ(routing::SetRouteForDns("198.51.100.53"), 0);
    EXPECT_EQ(routing::SetRouteForDns("203.0.113.53"), 0);
    EXPECT_EQ(routing::SetRouteForDns6("2001:db8:53::53"), 0);
    EXPECT_EQ(lines4("198.51.100.7 via 192.0.2.1 dev veth0"), 1);
    EXPECT_EQ(lines4("198.51.100.53 via 192.0.2.1 dev veth0"), 1);
    EXPECT_EQ(lines4("203.0.113.53 via 192.0.2.1 dev veth0"), 1);
    EXPECT_EQ(lines6("2001:db8:5::7 via fe80::1 dev veth0"), 1);
    EXPECT_EQ(lines6("2001:db8:53::53 via fe80::1 dev veth0"), 1);

    // The host routes stay when the default routes go.
    routing::CloseDefaultRoutes();
    EXPECT_EQ(lines4("198.51.100.7 via 192.0.2.1 dev veth0"), 1);
    EXPECT_EQ(lines6("2001:db8:53::53 via fe80::1 dev veth0"), 1);
    routing::ReopenDefaultRoutes();

    // A route that exists already is refused by the kernel, and the results say so.
    EXPECT_EQ(routing::SetRouteForServer6("2001:db8:5::7"), 0);
    EXPECT_NE(routing::SetRouteForDns("198.51.100.7"), 0);

    routing::DisableCustomRoutes();
    routing::UnsetRoutesForDns();
    routing::UnsetRoutesForDns6();
    EXPECT_EQ(sandbox->routes4(), before4);
    EXPECT_EQ(sandbox->routes6(), before6);
}

TEST_P(RoutingForms, TunnelDefaultRoutesGoWithDisableCustomRoutes) {
    sandbox->addTunnel();
    const Strings before4 = sandbox->routes4();
    const Strings before6 = sandbox->routes6();
    ASSERT_EQ(routing::RetrieveDefaultRoutes(), 0);
    routing::CloseDefaultRoutes();

    EXPECT_EQ(routing::EnableRouteForIpv4("10.8.0.1"), 1);
    EXPECT_EQ(routing::EnableRouteForIpv6("fd42::1"), 1);
    EXPECT_EQ(lines4("default via 10.8.0.1 dev tun0"), 1);
    EXPECT_EQ(lines6("default via fd42::1 dev tun0"), 1);
    EXPECT_EQ(defaults4(), 1);
    EXPECT_EQ(defaults6(), 1);

    routing::DisableCustomRoutes();
    EXPECT_EQ(defaults4(), 0);
    EXPECT_EQ(defaults6(), 0);

    // The physical default routes come back without a clash.
    routing::ReopenDefaultRoutes();
    EXPECT_EQ(sandbox->routes4(), before4);
    EXPECT_EQ(sandbox->routes6(), before6);
}

TEST_P(RoutingForms, HostileTextsRunNothingAndAddNoRoute) {
    ASSERT_EQ(routing::RetrieveDefaultRoutes(), 0);
    const Strings before4 = sandbox->routes4();
    const Strings before6 = sandbox->routes6();
    const std::string planted = sandbox->scratch() + "/planted";
    const Strings texts4 = {"198.51.100.7;touch " + planted, "$(touch " + planted + ")",
                            "198.51.100.7 dev lo", "`touch " + planted + "`"};
    for (const std::string& text : texts4) {
        SCOPED_TRACE(text);
        EXPECT_EQ(routing::SetRouteForServer(text), 0);
        EXPECT_EQ(routing::SetRouteForDns(text), -1);
        EXPECT_EQ(routing::EnableRouteForIpv4(text), 0);
        EXPECT_EQ(routing::SetRouteForServer6(text), 0);
        EXPECT_EQ(routing::SetRouteForDns6(text), -1);
        EXPECT_EQ(routing::EnableRouteForIpv6(text), 0);
    }
    routing::DisableCustomRoutes();
    routing::UnsetRoutesForDns();
    routing::UnsetRoutesForDns6();
    EXPECT_NE(::access(planted.c_str(), F_OK), 0);
    EXPECT_EQ(sandbox->routes4(), before4);
    EXPECT_EQ(sandbox->routes6(), before6);
}

INSTANTIATE_TEST_SUITE_P(BothForms, RoutingForms, ::testing::Values(Form::route, Form::ip),
                         formParamName);

}  // namespace
}  // namespace systest
