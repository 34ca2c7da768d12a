// The connection handlers in each mode, seen through the route commands they run and the
// resolver file they leave.

#include <gtest/gtest.h>

#include "core/paths.h"
#include "dns/resolver.h"
#include "fake_kernel.h"
#include "guard/guard.h"
#include "modes/modes.h"
#include "routing/routing.h"
#include "routing/state.h"
#include "support.h"

namespace {

using Commands = std::vector<std::string>;

constexpr const char* procNetRoute =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
    "veth0\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n"
    "veth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n";

class Modes : public ::testing::Test {
  protected:
    void SetUp() override {
        support::writeFile(core::paths().procNetRoute, procNetRoute);
        support::writeFile(core::paths().resolverFile, "nameserver 192.0.2.53\n");
        restoreDefaults();
        modes::InitRoutingVariables();
    }
    void TearDown() override {
        routing::StopRouteWatchThread();
        guard::Release();               // its watcher calls the fake kernel
        dns::InitializeDnsVariables();  // a replacement left in force: its watch goes
        modes::InitRoutingVariables();
    }

    void restoreDefaults() {
        kernel.defaults4 = {support::FakeKernel::unicastDefault("192.0.2.1")};
        kernel.defaults6 = {support::FakeKernel::unicastDefault("2001:db8::1", 1024)};
    }
    // The route commands and restored default routes of `action` alone; `all` keeps the kill
    // switch's requests too.
    Commands run(const std::function<void()>& action) {
        kernel.clear();
        action();
        all = kernel.commands;
        Commands commands;
        std::copy_if(all.begin(), all.end(), std::back_inserter(commands), [](const auto& c) {
            return !c.starts_with("netlink ") || c.find(" default ") != std::string::npos;
        });
        return commands;
    }
    // Whether the last action took the kill switch away before a default route came back.
    bool removedBeforeReopening() const {
        const auto reopen = std::find_if(all.begin(), all.end(), [](const std::string& c) {
            return c.starts_with("netlink add route inet default");
        });
        return reopen != all.end() && std::none_of(reopen, all.end(), [](const std::string& c) {
                   return c.starts_with("netlink") && c.find(" default ") == std::string::npos;
               });
    }
    const modes::State& flags() const { return modes::state(); }
    std::string resolver() const { return support::readFile(core::paths().resolverFile); }

    support::Sandbox sandbox;
    support::FakeKernel kernel;
    Commands all;
};

// The rule that lets the main table's default routes pass by comes last: installed part way,
// the kill switch blocks everything rather than nothing.
const Commands killSwitch = {
    "route inet table 1000 unreachable", "rule inet 1001 table 1000",
    "rule inet 1000 table 254 suppress", "route inet6 table 1000 unreachable",
    "rule inet6 1001 table 1000",        "rule inet6 1000 table 254 suppress"};

const Commands tunnelRules4 = {"rule inet 997 table 254 fwmark 11805",
                               "rule inet 998 table 254 to 169.254.0.0/16",
                               "rule inet 999 table 1000"};
const Commands tunnelRules6 = {"rule inet6 997 table 254 fwmark 11805",
                               "rule inet6 998 table 254 to fe80::/10",
                               "rule inet6 999 table 1000"};
const Commands blackhole = {"ip -6 route add blackhole default metric 4294967295"};
const Commands closeBoth = {"ip route del default", "ip -6 route del default"};

TEST_F(Modes, LockdownRemovesTheDefaultRoutesBlackholesIpv6AndStaysUntilDisabled) {
    Commands expected = blackhole;
    expected.insert(expected.end(), closeBoth.begin(), closeBoth.end());
    EXPECT_EQ(run(modes::EnableLockdown), expected);
    EXPECT_EQ(kernel.entries, killSwitch);
    EXPECT_EQ(flags().lockdownEnabled, 1);
    EXPECT_TRUE(kernel.defaults4.empty());
    EXPECT_TRUE(sandbox.logged("Enabling lockdown mode."));

    // A second enable does nothing at all.
    sandbox.clearLog();
    EXPECT_TRUE(run(modes::EnableLockdown).empty());
    EXPECT_TRUE(sandbox.messages().empty());

    // Each route comes back as it was, at its metric.
    EXPECT_EQ(run(modes::DisableLockdown),
              (Commands{"netlink add route inet default via 192.0.2.1",
                        "netlink add route inet6 default via 2001:db8::1 metric 1024"}));
    EXPECT_TRUE(kernel.entries.empty());
    EXPECT_TRUE(removedBeforeReopening());
    EXPECT_EQ(flags().lockdownEnabled, 0);
    EXPECT_FALSE(routing::state().ipv4Gateway);
    sandbox.clearLog();
    EXPECT_TRUE(run(modes::DisableLockdown).empty());
    EXPECT_TRUE(sandbox.messages().empty());
}

TEST_F(Modes, LockdownIsRefusedWhenTheBlackholeCannotBeAdded) {
    kernel.statuses[blackhole[0]] = 512;
    EXPECT_EQ(run(modes::EnableLockdown), blackhole);
    EXPECT_TRUE(kernel.entries.empty());
    EXPECT_EQ(flags().lockdownEnabled, 0);
    EXPECT_EQ(kernel.defaults4.size(), 1u);
    EXPECT_TRUE(sandbox.logged("Could not Disable IPv6, not setting lockdown."));
}

TEST_F(Modes, AnIpv4TunnelOverAnIpv6OnlyUplinkGetsItsRoute) {
    const std::string table = procNetRoute;  // its heading alone: no IPv4 route at all
    support::writeFile(core::paths().procNetRoute, table.substr(0, table.find('\n') + 1));
    kernel.defaults4.clear();
    modes::EnableLockdown();
    ASSERT_FALSE(routing::state().ipv4Gateway);
    EXPECT_EQ(run([] { modes::ConnectionSuccessful4("10.8.0.1"); }),
              Commands{"ip route add default via 10.8.0.1"});
}

TEST_F(Modes, AGuardThatCannotBeAppliedIsAnErrorOfTheLockdown) {
    kernel.filter.failure = "Error: Could not process rule: No buffer space available";
    modes::EnableLockdown();
    EXPECT_EQ(flags().lockdownEnabled, 1) << "the rules hold without the guard";
    EXPECT_TRUE(sandbox.logged(
        "Lockdown is on but the packet filter guard could not be put in place: only the kill "
        "switch's rules and the route watchers hold"));
}

TEST_F(Modes, LockdownHoldsWhenTheRoutingTableCannotBeReadAndLearnsTheGatewayFromTheWatchers) {
    core::paths().procNetRoute = sandbox.path("missing");
    const Commands commands = run(modes::EnableLockdown);
    EXPECT_EQ(flags().lockdownEnabled, 1);
    EXPECT_EQ(kernel.entries, killSwitch);
    EXPECT_TRUE(sandbox.logged(
        "Could not retrieve default routing tables from system; lockdown holds and saves the "
        "gateways of the default routes that appear"));
    // The route watchers take the routes they find for the network's, as those a DHCP client
    // adds later: removed, and their gateways saved for the server route.
    EXPECT_EQ(commands, (Commands{"ip  route del default via 192.0.2.1",
                                  "ip -6 route del default via 2001:db8::1"}));
    EXPECT_EQ(run([] { modes::SetServerAddress("198.51.100.7"); }),
              Commands{"ip route add 198.51.100.7 via 192.0.2.1"});
}

TEST_F(Modes, LockdownConnectionFromStartToClose) {
    modes::EnableLockdown();
    EXPECT_TRUE(run(modes::PrepareForTunnel).empty());
    EXPECT_EQ(flags().connecting, 1);
    EXPECT_EQ(run([] { modes::SetServerAddress("198.51.100.7"); }),
              Commands{"ip route add 198.51.100.7 via 192.0.2.1"});
    EXPECT_EQ(run([] { modes::AddDnsAddress("198.51.100.53"); }),
              Commands{"ip route add 198.51.100.53 via 192.0.2.1"});
    EXPECT_EQ(run([] { modes::AddDnsAddress6("2001:db8::53"); }),
              Commands{"ip -6 route add 2001:db8::53 via 2001:db8::1"});

    // The tunnel is up: default routes removed again (none left), DNS host routes removed.
    EXPECT_EQ(run(modes::ConnectionSuccessful),
              (Commands{"ip route del 198.51.100.53", "ip -6 route del 2001:db8::53"}));
    EXPECT_EQ(flags().connected, 1);
    EXPECT_EQ(flags().connecting, 0);
    kernel.defaults4 = {support::FakeKernel::unicastDefault("10.8.0.1")};  // as the command adds
    EXPECT_EQ(run([] { modes::ConnectionSuccessful4("10.8.0.1"); }),
              Commands{"ip route add default via 10.8.0.1"});
    EXPECT_EQ(run([] { modes::ConnectionSuccessful6("fd42::1"); }),
              Commands{"ip -6 route add default via fd42::1"});
    dns::ReplaceDns("10.8.0.1");
    // The tunnel's copy, and the rules that send everything but OpenVPN's and the LAN's to it
    // (with no address on the LAN, the link-local range alone).
    Commands withTunnel = killSwitch;
    withTunnel.push_back("route inet table 1000 via 10.8.0.1");
    withTunnel.insert(withTunnel.end(), tunnelRules4.begin(), tunnelRules4.end());
    withTunnel.insert(withTunnel.end(), tunnelRules6.begin(), tunnelRules6.end());
    EXPECT_EQ(kernel.entries, withTunnel);

    kernel.defaults4 = {support::FakeKernel::unicastDefault("10.8.0.1")};
    EXPECT_EQ(run(modes::ConnectionClosed),
              // The tunnel's own default route is no physical one to close.
              (Commands{"ip route del 198.51.100.7", "ip route del default via 10.8.0.1",
                        "ip -6 route del default via fd42::1"}));
    EXPECT_EQ(flags().connected, 0);
    EXPECT_EQ(flags().lockdownEnabled, 1);
    EXPECT_EQ(kernel.entries, killSwitch);  // the tunnel's copy went with the tunnel's route
    EXPECT_EQ(resolver(), "nameserver 192.0.2.53\n");
    EXPECT_TRUE(sandbox.logged("Disabling LockDown Mode"));

    // A second close finds nothing to do.
    sandbox.clearLog();
    EXPECT_TRUE(run(modes::ConnectionClosed).empty());
    EXPECT_TRUE(sandbox.messages().empty());
}

TEST_F(Modes, ForcedConnectionRemovesDefaultRoutesOnlyWhileUpAndEndsForcedMode) {
    modes::EnableForcedMode();
    EXPECT_TRUE(run(modes::PrepareForTunnel).empty());
    EXPECT_TRUE(routing::state().ipv4Gateway);
    EXPECT_EQ(run([] { modes::SetServerAddress("198.51.100.7"); }),
              Commands{"ip route add 198.51.100.7 via 192.0.2.1"});
    // No DNS host routes outside lockdown.
    EXPECT_TRUE(run([] { modes::AddDnsAddress("198.51.100.53"); }).empty());
    EXPECT_EQ(run([] { modes::ConnectionSuccessful4("10.8.0.1"); }),
              (Commands{blackhole[0], "ip route add default via 10.8.0.1"}));
    kernel.defaults4 = {support::FakeKernel::unicastDefault("192.0.2.1")};
    EXPECT_TRUE(kernel.entries.empty());
    EXPECT_EQ(run(modes::ConnectionSuccessful), closeBoth);
    Commands withTunnel = killSwitch;
    withTunnel.insert(withTunnel.begin() + 3, tunnelRules4.begin(), tunnelRules4.end());
    EXPECT_EQ(kernel.entries, withTunnel);
    dns::ReplaceDns("10.8.0.1");

    EXPECT_EQ(run(modes::ConnectionClosed),
              (Commands{"ip route del 198.51.100.7", "ip route del default via 10.8.0.1",
                        "netlink add route inet default via 192.0.2.1",
                        "netlink add route inet6 default via 2001:db8::1 metric 1024"}));
    EXPECT_TRUE(kernel.entries.empty());
    EXPECT_TRUE(removedBeforeReopening());
    EXPECT_EQ(flags().forcedEnabled, 0);
    EXPECT_EQ(resolver(), "nameserver 192.0.2.53\n");
    const auto messages = sandbox.messages();
    const auto closing = std::find(messages.begin(), messages.end(), "Disabling Forced Mode");
    ASSERT_NE(closing, messages.end());
    EXPECT_NE(std::find(closing, messages.end(), "Disabling forced mode."), messages.end());
}

TEST_F(Modes, ForcedModeSetsNoTunnelRouteWhenIpv6CannotBeBlocked) {
    modes::EnableForcedMode();
    modes::PrepareForTunnel();
    kernel.statuses[blackhole[0]] = 256;
    EXPECT_EQ(run([] { modes::ConnectionSuccessful4("10.8.0.1"); }), blackhole);
    EXPECT_TRUE(sandbox.logged("Could not disable IPv6"));
    EXPECT_TRUE(sandbox.logged("This will result in VPN bleed - exiting."));
    EXPECT_EQ(flags().connecting, 0);
}

TEST_F(Modes, BasicModeBlocksOnlyIpv6AndLeavesTheResolverToRestoreDns) {
    modes::PrepareForTunnel();
    EXPECT_TRUE(run([] { modes::SetServerAddress("198.51.100.7"); }).empty());
    EXPECT_EQ(run([] { modes::ConnectionSuccessful4("10.8.0.1"); }),
              (Commands{"ip -6 route del default", blackhole[0]}));
    EXPECT_TRUE(run([] { modes::ConnectionSuccessful6("fd42::1"); }).empty());
    EXPECT_TRUE(run(modes::ConnectionSuccessful).empty());
    EXPECT_EQ(flags().connected, 1);
    dns::ReplaceDns("10.8.0.1");

    EXPECT_EQ(run(modes::ConnectionClosed),
              Commands{"netlink add route inet6 default via 2001:db8::1 metric 1024"});
    EXPECT_TRUE(sandbox.logged("Disabling Basic Mode"));
    EXPECT_EQ(resolver(), "# Written by TELVORD\nnameserver 10.8.0.1");
    EXPECT_FALSE(routing::state().ipv6Gateway);
}

TEST_F(Modes, EmptyTunnelAddressesAreReportedOnlyForIpv4OutsideBasicMode) {
    modes::EnableForcedMode();
    modes::PrepareForTunnel();
    kernel.defaults6.clear();
    routing::state().ipv6Gateway.reset();
    EXPECT_TRUE(run([] { modes::ConnectionSuccessful4(""); }).empty());
    EXPECT_TRUE(sandbox.logged("Received empty address for connection successful"));
    sandbox.clearLog();
    EXPECT_TRUE(run([] { modes::ConnectionSuccessful6(""); }).empty());
    EXPECT_TRUE(sandbox.messages().empty());
}

TEST_F(Modes, FailureBeforeSuccessOnlyTidiesTheCustomRoutes) {
    modes::EnableForcedMode();
    modes::PrepareForTunnel();
    modes::SetServerAddress("198.51.100.7");
    EXPECT_EQ(run(modes::ConnectionFailed), Commands{"ip route del 198.51.100.7"});
    EXPECT_EQ(flags().forcedEnabled, 1);
    EXPECT_EQ(flags().connecting, 0);
    EXPECT_TRUE(sandbox.logged("Not Previously connected - tidying up custom routes...."));
}

TEST_F(Modes, FailureAfterSuccessClosesTheConnection) {
    modes::EnableLockdown();
    modes::PrepareForTunnel();
    modes::ConnectionSuccessful();
    modes::ConnectionFailed();
    EXPECT_EQ(flags().connected, 0);
    EXPECT_TRUE(sandbox.logged("Previously connected - closing connections...."));
    EXPECT_TRUE(sandbox.logged("Disabling LockDown Mode"));
}

TEST_F(Modes, BothModeFlagsBehaveAsLockdownAndTheCloseKeepsForcedMode) {
    modes::EnableForcedMode();
    modes::EnableLockdown();
    modes::PrepareForTunnel();
    modes::ConnectionSuccessful();
    modes::ConnectionClosed();
    EXPECT_EQ(flags().forcedEnabled, 1);
    EXPECT_EQ(flags().lockdownEnabled, 1);
    EXPECT_TRUE(sandbox.logged("Disabling LockDown Mode"));
}

TEST_F(Modes, ARepeatedSuccessReportOnlyClearsConnecting) {
    modes::EnableLockdown();
    modes::ConnectionSuccessful();
    modes::PrepareForTunnel();
    EXPECT_TRUE(run(modes::ConnectionSuccessful).empty());
    EXPECT_EQ(flags().connecting, 0);
    EXPECT_EQ(flags().connected, 1);
}

TEST_F(Modes, EnablingForcedModeTwiceLogsTwice) {
    modes::EnableForcedMode();
    modes::EnableForcedMode();
    EXPECT_EQ(sandbox.countContaining("Enabling forced mode."), 2);
    EXPECT_EQ(flags().forcedEnabled, 1);
}

TEST_F(Modes, SetAsDisconnectedClearsOnlyConnected) {
    modes::PrepareForTunnel();
    modes::ConnectionSuccessful();
    modes::PrepareForTunnel();
    modes::SetAsDisconnected();
    EXPECT_EQ(flags().connected, 0);
    EXPECT_EQ(flags().connecting, 1);
}

// The guard's table as the fake holds it: empty when there is none.
std::string guardTable(support::FakeKernel& kernel) {
    std::string table;
    kernel.filter.locked([&] { table = kernel.filter.table.value_or(""); });
    return table;
}

TEST_F(Modes, TheGuardHoldsInLockdownAndWhileAForcedConnectionIsUp) {
    const std::string confined = "th dport { 53, 853, 5355 } jump refuse";
    modes::EnableLockdown();
    EXPECT_NE(guardTable(kernel), "");
    modes::SetServerAddress("198.51.100.7");
    EXPECT_NE(guardTable(kernel).find("ip daddr 198.51.100.7 accept"), std::string::npos);
    modes::ConnectionSuccessful();
    modes::ReplaceDns("10.8.0.1");
    EXPECT_NE(guardTable(kernel).find(confined), std::string::npos) << "DNS only in the tunnel";
    modes::ConnectionClosed();
    EXPECT_EQ(guardTable(kernel).find(confined), std::string::npos);
    EXPECT_NE(guardTable(kernel), "") << "lockdown goes on";
    modes::DisableLockdown();
    EXPECT_EQ(guardTable(kernel), "");

    modes::EnableForcedMode();
    modes::PrepareForTunnel();
    EXPECT_EQ(guardTable(kernel), "");
    modes::ConnectionSuccessful();
    EXPECT_NE(guardTable(kernel), "");
    modes::ConnectionClosed();
    EXPECT_EQ(guardTable(kernel), "");
}

}  // namespace
