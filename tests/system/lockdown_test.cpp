// Lockdown through a laptop's day: it changes network, and the daemon is killed and started
// again, and still gives the network back at "disablelockdown:".

#include <linux/rtnetlink.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <stdexcept>
#include <string>

#include "routing/remembered_routes.h"
#include "system_test.h"

namespace systest {
namespace {

constexpr const char* stateFile = "/run/telvord/state";

class LockdownDay : public SystemTest {
  protected:
    std::string tables() const { return "\n" + must("ip route show") + must("ip -6 route show"); }
    void awaitWatchers() const {
        ASSERT_TRUE(eventually([] {
            return routeGroupWatched(RTMGRP_IPV4_ROUTE) && routeGroupWatched(RTMGRP_IPV6_ROUTE);
        })) << "the route watchers do not listen";
    }
};

TEST_F(LockdownDay, ALaptopThatChangesNetworkConnectsThroughTheNewOneAndGetsItBack) {
    daemon.start();
    daemon.send({"enablelockdown", "dnsaddress", "203.0.113.53"});
    awaitWatchers();
    ASSERT_TRUE(sandbox->hasRoute4("203.0.113.53 via 192.0.2.1 dev veth0")) << tables();

    // The laptop leaves home for another network, whose DHCP client adds its default route.
    sandbox->addSecondUplink();
    must("ip link set veth0 down");
    must("ip route add default via 198.51.100.1 dev veth2 proto dhcp metric 600");
    EXPECT_TRUE(eventually([&] { return sandbox->countRoutes4("default") == 0; })) << tables();
    EXPECT_TRUE(eventually([&] {
        return sandbox->hasRoute4("203.0.113.53 via 198.51.100.1 dev veth2");
    })) << tables();

    daemon.send({"serveraddress", "203.0.113.7"});
    EXPECT_TRUE(sandbox->hasRoute4("203.0.113.7 via 198.51.100.1 dev veth2")) << tables();

    daemon.send({"disablelockdown"});
    EXPECT_EQ(sandbox->routes4()[0], "default via 198.51.100.1 dev veth2 proto dhcp metric 600")
        << tables();
    EXPECT_EQ(sandbox->countRoutes4("default"), 1) << tables();
    EXPECT_EQ(sandbox->countRoutes4("203.0.113.53"), 0) << tables();
    EXPECT_EQ(daemon.countLogged("Not restoring the default route via 192.0.2.1 dev veth0 (IPv4): "
                                 "its gateway cannot be reached"),
              1);
}

TEST_F(LockdownDay, ADaemonKilledInLockdownIsLockedDownAgainAndGivesEverythingBack) {
    daemon.start();
    daemon.send({"enablelockdown", "dnsaddress", "203.0.113.53", "dnsaddress6", "2001:db8::53"});
    awaitWatchers();
    daemon.kill(SIGKILL);
    ASSERT_TRUE(daemon.waitExit());
    EXPECT_NE(readFile(stateFile).find("lockdown=yes"), std::string::npos);

    // Nothing in the configuration asks for lockdown: the state of the killed run does.
    daemon.start();
    awaitWatchers();
    EXPECT_EQ(sandbox->countRoutes4("default"), 0) << tables();
    EXPECT_NE(must("ip rule show").find("1000:"), std::string::npos);
    must("ip route add default via 192.0.2.3 metric 2000");
    EXPECT_TRUE(eventually([&] { return sandbox->countRoutes4("default") == 0; })) << tables();

    daemon.send({"disablelockdown"});
    EXPECT_TRUE(sandbox->hasRoute4("default via 192.0.2.1 dev veth0")) << tables();
    EXPECT_EQ(sandbox->countRoutes6("default via fe80::1 dev veth0 metric 1024"), 1) << tables();
    EXPECT_EQ(sandbox->countRoutes4("203.0.113.53"), 0) << tables();
    EXPECT_EQ(sandbox->countRoutes6("2001:db8::53"), 0) << tables();
    EXPECT_EQ(must("ip rule show").find("1000:"), std::string::npos);
    EXPECT_NE(::access(stateFile, F_OK), 0) << "nothing is left to resume";
}

// What a program that watches the kernel (ip monitor, nft monitor) printed, once it prints:
// `probe` makes a change it shows, before anything else happens.
class Monitor {
  public:
    Monitor(const NetworkSandbox& sandbox, const std::vector<std::string>& argv,
            const std::string& probe, const std::string& shows)
        : log_(sandbox.scratch() + "/" + argv[0] + ".log"), program_(argv, log_) {
        const auto watching = [&] {
            must(probe);
            return text().find(shows) != std::string::npos;
        };
        if (!eventually(watching)) throw std::runtime_error(argv[0] + " does not watch");
    }
    std::string text() const { return readFile(log_); }

  private:
    std::string log_;
    Program program_;
};

TEST_F(LockdownDay, ABootLetsNothingOutFromBeforeTheNetworkAndGivesTheLeaseBack) {
    if (sh("command -v dnsmasq && command -v dhcpcd && command -v radvd").status != 0)
        GTEST_SKIP() << "dnsmasq, dhcpcd or radvd is not installed";
    const std::string scratch = sandbox->scratch();
    // As at boot: the uplink comes up unconfigured; DHCP and the router configure it later.
    must("ip link set veth0 down && ip addr flush dev veth0 && ip link set veth0 up");
    ASSERT_EQ(sandbox->countRoutes4("default") + sandbox->countRoutes6("default"), 0) << tables();
    writeConfiguration("lockdown=true\n");
    // Before the network, telvord-lockdown.service; the daemon takes its rules and table up.
    must(lockdownAtBootBinary());
    ASSERT_NE(must("ip rule show").find("1000:"), std::string::npos);
    ASSERT_EQ(sh("nft list table inet telvord").status, 0);
    const Monitor ruleMonitor(*sandbox, {"ip", "monitor", "rule"},
                              "ip rule add priority 30000 lookup 30000; ip rule del priority 30000",
                              "30000:");
    const Monitor tableMonitor(*sandbox, {"nft", "monitor", "tables"},
                               "nft add table inet probe; nft delete table inet probe",
                               "inet probe");
    daemon.start();
    awaitWatchers();
    EXPECT_TRUE(daemon.logged("Enabling lockdown mode."));

    sandbox->mountTmpfs("/var/lib/dhcpcd", "mode=0755");
    mustOutside("ip addr add 203.0.113.1/32 dev lo; ip addr add 2001:db8:ffff::1/128 dev lo");
    const util::unique_fd receiver = farReceiver(4000);
    const util::unique_fd sender4(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const util::unique_fd sender6(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const Program dnsmasq(
        {"ip", "netns", "exec", "outside", "dnsmasq", "--keep-in-foreground",
         "--conf-file=/dev/null", "--no-resolv", "--no-hosts", "--port=0", "--user=root",
         "--group=root", "--pid-file=", "--bind-interfaces", "--interface=veth1",
         "--dhcp-leasefile=" + scratch + "/leases", "--log-dhcp", "--log-facility=-",
         "--dhcp-range=192.0.2.100,192.0.2.150,255.255.255.0,2m"},
        scratch + "/dnsmasq.log");
    writeFile(scratch + "/radvd.conf",
              "interface veth1 { AdvSendAdvert on; MinRtrAdvInterval 3; MaxRtrAdvInterval 4;"
              " prefix 2001:db8::/64 {}; };\n");
    mustOutside("sysctl -qw net.ipv6.conf.all.forwarding=1");
    const Program radvd({"ip", "netns", "exec", "outside", "radvd", "--nodaemon", "--config",
                         scratch + "/radvd.conf", "--pidfile", scratch + "/radvd.pid"},
                        scratch + "/radvd.log");
    writeFile(scratch + "/dhcpcd.conf", "option subnet_mask\noption routers\n");
    const Program dhcpcd(
        {"dhcpcd", "-f", scratch + "/dhcpcd.conf", "-c", "/bin/true", "-4", "-B", "veth0"},
        scratch + "/dhcpcd.log");

    const auto learnt = [&](const std::string& family) {
        const auto all = daemon.messages();
        return std::any_of(all.begin(), all.end(), [&](const std::string& message) {
            return message.starts_with("The network changed: the " + family +
                                       " gateway is now via ");
        });
    };
    // Datagrams to the internet all along, while the lease is taken and the routes removed.
    const auto configured = [&] {
        sendDatagrams(sender4.get(), "203.0.113.1", 4000, 10);
        sendDatagrams(sender6.get(), "2001:db8:ffff::1", 4000, 10);
        return must("ip addr show veth0").find("inet 192.0.2.1") != std::string::npos &&
               learnt("IPv4") && learnt("IPv6");
    };
    ASSERT_TRUE(eventually(configured, 30s, 50ms))
        << tables() << readFile(scratch + "/dhcpcd.log") << readFile(scratch + "/radvd.log");
    EXPECT_EQ(sandbox->countRoutes4("default") + sandbox->countRoutes6("default via"), 0)
        << tables();
    sendDatagrams(sender6.get(), lanPeer6, 4000, 1, "marker");  // over the link
    EXPECT_EQ(countBeforeMarker(receiver.get(), "marker"), 0);

    daemon.send({"serveraddress", "198.51.100.7", "serveraddress6", "2001:db8:5::1"});
    EXPECT_TRUE(sandbox->hasRoute4("198.51.100.7 via 192.0.2.1 dev veth0")) << tables();
    EXPECT_EQ(sandbox->countRoutes6("2001:db8:5::1 via fe80::"), 1) << tables();
    // Taken up without a moment in between: the daemon removed neither the rules nor the table.
    EXPECT_EQ(ruleMonitor.text().find("Deleted 100"), std::string::npos) << ruleMonitor.text();
    EXPECT_EQ(tableMonitor.text().find("delete table inet telvord"), std::string::npos)
        << tableMonitor.text();

    daemon.send({"disablelockdown"});
    EXPECT_EQ(sandbox->countRoutes4("default via 192.0.2.1 dev veth0 proto dhcp src 192.0.2.1"), 1)
        << tables();
    EXPECT_TRUE(eventually([&] { return sandbox->countRoutes6("default via fe80::") == 1; }, 10s))
        << tables();
    EXPECT_TRUE(eventually([&] {
        return ruleMonitor.text().find("Deleted 1000") != std::string::npos &&
               tableMonitor.text().find("delete table inet telvord") != std::string::npos;
    })) << "the monitors see the daemon's removals";
    sendDatagrams(sender4.get(), "203.0.113.1", 4000, 10);
    sendDatagrams(sender6.get(), "2001:db8:ffff::1", 4000, 10);
    sendDatagrams(sender4.get(), "192.0.2.1", 4000, 1, "marker");
    EXPECT_EQ(countBeforeMarker(receiver.get(), "marker"), 20) << "the far side counts them";

    // Run again once the daemon has run, as a package upgrade does: the daemon decides.
    must(lockdownAtBootBinary());
    EXPECT_EQ(must("ip rule show").find("1000:"), std::string::npos);
}

// Routers on the LAN: `count` macvlan devices on the far side of veth0, each with a link-local
// address of its own (fe80::1:1, fe80::1:2, ...), all advertised as default routers by one
// radvd in "outside". Private macvlans do not hear each other's advertisements, which would
// slow radvd down.
class LanRouters {
  public:
    LanRouters(const NetworkSandbox& sandbox, int count)
        : pidFile_(sandbox.scratch() + "/radvd.pid") {
        const std::string config = sandbox.scratch() + "/radvd.conf";
        std::string text;
        for (int i = 1; i <= count; ++i) {
            const std::string name = "rtr" + std::to_string(i);
            mustOutside(
                "ip link add " + name + " link veth1 type macvlan mode private; ip link set " +
                name + " addrgenmode none; ip link set " + name +
                " up; ip addr add fe80::1:" + std::to_string(i) + "/64 dev " + name + " nodad");
            text += "interface " + name +
                    " { AdvSendAdvert on; MinRtrAdvInterval 3; MaxRtrAdvInterval 4;"
                    " AdvDefaultLifetime 1800; };\n";
        }
        writeFile(config, text);
        mustOutside("sysctl -qw net.ipv6.conf.all.forwarding=1; radvd --config " + config +
                    " --pidfile " + pidFile_ + " --logmethod logfile --logfile " +
                    sandbox.scratch() + "/radvd.log");
    }
    // Ends radvd, whose last advertisements withdraw its routes.
    ~LanRouters() {
        shOutside("kill $(cat " + pidFile_ + ")");
        eventually([&] { return ::access(pidFile_.c_str(), F_OK) != 0; });
    }
    LanRouters(const LanRouters&) = delete;
    LanRouters& operator=(const LanRouters&) = delete;

  private:
    std::string pidFile_;
};

TEST_F(LockdownDay, FortyRoutersOnTheLanNeitherGrowTheStateNorBecomeTheServersFirstHop) {
    if (sh("command -v radvd").status != 0) GTEST_SKIP() << "radvd is not installed";
    daemon.start();
    daemon.send({"enablelockdown", "serveraddress6", "2001:db8:5::1"});
    awaitWatchers();
    const std::string serverRoute = "2001:db8:5::1 via fe80::1 dev veth0 metric 1024 pref medium";
    ASSERT_TRUE(sandbox->hasRoute6(serverRoute)) << tables();
    // Datagrams to an address on the internet, sent all along: none may cross the uplink.
    mustOutside("ip addr add 2001:db8:ffff::1/128 dev lo");
    const util::unique_fd receiver = farReceiver(4000);
    const util::unique_fd sender(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    {
        const LanRouters routers(*sandbox, 40);
        // Each router's default route comes again with each advertisement; the watchers see
        // every router at least once.
        const auto routersSeen = [&] {
            sendDatagrams(sender.get(), "2001:db8:ffff::1", 4000, 20);
            std::set<std::string> seen;
            for (const std::string& message : daemon.messages()) {
                if (message.starts_with("Got IPv6 address fe80::1:")) seen.insert(message);
            }
            return seen.size();
        };
        EXPECT_TRUE(eventually([&] { return routersSeen() == 40; }, 30s, 250ms))
            << routersSeen() << tables();
    }
    sendDatagrams(sender.get(), lanPeer6, 4000, 1, "marker");  // over the LAN
    EXPECT_EQ(countBeforeMarker(receiver.get(), "marker"), 0);

    const std::string state = readFile(stateFile);
    std::size_t remembered = 0;
    for (std::size_t at = 0; (at = state.find("removed=inet6 ", at)) != std::string::npos; ++at)
        ++remembered;
    EXPECT_LE(remembered, routing::routesPerDevice) << state;
    EXPECT_NE(state.find("removed=inet6 via fe80::1 dev veth0 metric 1024\n"), std::string::npos)
        << state;
    EXPECT_TRUE(sandbox->hasRoute6(serverRoute)) << tables();

    daemon.send({"disablelockdown"});
    EXPECT_EQ(sandbox->countRoutes6("default via fe80::1 dev veth0 metric 1024"), 1) << tables();
    EXPECT_EQ(sandbox->countRoutes6("default via fe80::1:"), 0) << tables();
}

TEST_F(LockdownDay, ARoutersRouteComesBackAsTheKernelsOwnAndGoesWithItsRouter) {
    if (sh("command -v radvd").status != 0) GTEST_SKIP() << "radvd is not installed";
    must("ip -6 route del default via fe80::1 dev veth0");
    // Unsolicited advertisements only every quarter of an hour, once radvd's first few are out.
    const std::string config = sandbox->scratch() + "/radvd.conf";
    const std::string pidFile = sandbox->scratch() + "/radvd.pid";
    writeFile(config,
              "interface veth1 { AdvSendAdvert on; MinRtrAdvInterval 900;"
              " MaxRtrAdvInterval 1800; AdvDefaultLifetime 1800; };\n");
    mustOutside("sysctl -qw net.ipv6.conf.all.forwarding=1; radvd --config " + config +
                " --pidfile " + pidFile + " --logmethod logfile --logfile " + sandbox->scratch() +
                "/radvd.log");
    const auto learnt = [&] { return sandbox->countRoutes6("default via fe80::") == 1; };
    ASSERT_TRUE(eventually(learnt, 10s)) << tables();

    daemon.start();
    daemon.send({"enablelockdown"});
    awaitWatchers();
    ASSERT_EQ(sandbox->countRoutes6("default via"), 0) << tables();
    daemon.send({"disablelockdown"});
    const auto messages = daemon.messages();
    EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                            [](const std::string& m) {
                                return m.starts_with("Leaving the default route via fe80::");
                            }),
              1);
    EXPECT_TRUE(eventually(learnt, 10s)) << tables();
    // Only the kernel's own route goes when its router says it no longer routes.
    shOutside("kill $(cat " + pidFile + ")");
    EXPECT_TRUE(eventually([&] { return sandbox->countRoutes6("default via") == 0; }, 10s))
        << tables();
}

// Fails for each of `parts` missing from `text`.
void expectParts(const std::string& text, std::initializer_list<const char*> parts) {
    for (const char* part : parts)
        EXPECT_NE(text.find(part), std::string::npos) << part << text;
}

TEST_F(LockdownDay, TelvorctlStatusSaysWhatTheDaemonHoldsInEachModeAndChangesNothing) {
    daemon.start();
    const auto status = [](const std::string& options) {
        return must(telvorctlBinary() + " " + options + " status");
    };
    expectParts(status(""), {"Mode:           basic, not connected"});
    expectParts(
        status("--json"),
        {"\"mode\":\"basic\"", "\"lockdown\":false", "\"killswitch\":false", "\"guard\":false",
         "\"refused\":null", "\"removed4\":[]", "\"openvpn\":null", "\"resolver\":\"system\""});

    daemon.send({"enablelockdown", "dnsaddress", "203.0.113.53"});
    const std::string before = tables();
    expectParts(status("--json"),
                {"\"mode\":\"lockdown\"", "\"lockdown\":true", "\"killswitch\":true",
                 "\"guard\":true", "\"removed4\":[\"via 192.0.2.1 dev veth0\"]",
                 "\"removed6\":[\"via fe80::1 dev veth0 metric 1024\"]",
                 "\"dns4\":[\"203.0.113.53\"]", "\"gateway4\":\"via 192.0.2.1 dev veth0\""});
    EXPECT_EQ(tables(), before);
    expectParts(status(""), {"Kill switch:    rules in place", "Guard:          in place, "});

    daemon.send(
        {"disablelockdown", "enableforced", "prepareforconnect", "serveraddress", "198.51.100.7"});
    expectParts(status("--json"), {"\"mode\":\"forced\"", "\"forced\":true", "\"removed4\":[]",
                                   "\"server4\":\"198.51.100.7\"", "\"killswitch\":false"});
}

// A state file that is not root's alone could say lockdown was off when it was on: it is
// refused, and the daemon stays locked down until someone says otherwise.
TEST_F(LockdownDay, AStateFileThatIsNotRootsAloneKeepsLockdown) {
    ::mkdir("/run/telvord", 0700);
    writeFile(stateFile, "telvord state 1\n[modes]\nlockdown=no\n");
    ASSERT_EQ(::chmod(stateFile, 0644), 0);
    daemon.start();
    EXPECT_TRUE(
        daemon.logged("The state file /run/telvord/state is not trusted: its mode is not "
                      "0600"));
    EXPECT_TRUE(daemon.logged("Keeping lockdown: what an earlier run held cannot be known"));
    EXPECT_NE(must(telvorctlBinary() + " status --json").find("\"lockdown\":true"),
              std::string::npos);
    EXPECT_EQ(sandbox->countRoutes4("default"), 0) << tables();
    daemon.send({"disablelockdown"});
    EXPECT_TRUE(sandbox->hasRoute4("default via 192.0.2.1 dev veth0")) << tables();
}

}  // namespace
}  // namespace systest
