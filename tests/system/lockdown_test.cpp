// Lockdown through a laptop's day: it changes network, and the daemon is killed and started
// again, and still gives the network back at "disablelockdown:".

#include <linux/rtnetlink.h>
#include <signal.h>
#include <unistd.h>

#include <string>

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

}  // namespace
}  // namespace systest
