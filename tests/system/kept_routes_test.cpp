// The routes a connection needs on devices that other programs manage: the real daemon in
// lockdown puts back the server, DNS and tunnel routes that another program deletes, as a
// network manager does when it applies its configuration again, lets nothing out past the
// uplink meanwhile, and what it removes itself stays removed.

#include <sys/socket.h>

#include <string>
#include <vector>

#include "system_test.h"
#include "util/unique_fd.h"

namespace systest {
namespace {

constexpr const char* farAddress = "203.0.113.1";  // behind the uplink, on "outside"'s loopback
constexpr std::uint16_t farPort = 5353;
// An address of the uplink taken away and given back, as a reapply or a resume does.
constexpr const char* addressBack =
    "ip addr del 192.0.2.10/24 dev veth0 && ip addr add 192.0.2.10/24 dev veth0 && "
    "ip addr del 10.8.1.10/24 dev veth0 && ip addr add 10.8.1.10/24 dev veth0";

class KeptRoutes : public SystemTest {
  protected:
    void SetUp() override {
        SystemTest::SetUp();
        if (IsSkipped()) return;
        mustOutside("ip addr add 203.0.113.1/32 dev lo");
        receiver_ = farReceiver(farPort);
        sender_.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sandbox->addTunnel();
    }

    // Datagrams to the far side, which nothing may carry there while the routes are away.
    void probe() { sendDatagrams(sender_.get(), farAddress, farPort, 20); }
    // How many probes reached the far side: a marker over the LAN comes after them.
    int leaked() {
        sendDatagrams(sender_.get(), lanPeer, farPort, 1, "marker");
        return countBeforeMarker(receiver_.get(), "marker");
    }

    bool hostRoutes(const std::vector<std::string>& four, const std::vector<std::string>& six) {
        for (const std::string& address : four) {
            if (sandbox->countRoutes4(address + " via 192.0.2.1 dev veth0") != 1) return false;
        }
        for (const std::string& address : six) {
            if (sandbox->countRoutes6(address + " via fe80::1 dev veth0") != 1) return false;
        }
        return true;
    }
    // The tunnel's default routes, in the main table and in the kill switch's: how many of them.
    int tunnelRoutes() const {
        return sandbox->countRoutes4("default via 10.8.0.1 dev tun0") +
               sandbox->countRoutes6("default via fd42::1 dev tun0") +
               static_cast<int>(
                   sh("ip route show table 1000").output.find("via 10.8.0.1 dev tun0") !=
                   std::string::npos);
    }
    int looks(const char* family) const {
        return daemon.countLogged(std::string("Looking at the routes kept (") + family + ")");
    }
    std::string tables() const {
        return "\n" + must("ip route; ip -6 route; ip route show table 1000");
    }

  private:
    util::unique_fd receiver_, sender_;
};

TEST_F(KeptRoutes, WhatAnotherProgramDeletesComesBackAndWhatTheDaemonRemovesStaysGone) {
    daemon.start();
    daemon.send({"enablelockdown", "prepareforconnect", "serveraddress", "198.51.100.7",
                 "serveraddress6", "2001:db8:5::7", "dnsaddress", "203.0.113.53", "dnsaddress6",
                 "2001:db8:53::53"});
    const std::vector<std::string> hosts4{"198.51.100.7", "203.0.113.53"};
    const std::vector<std::string> hosts6{"2001:db8:5::7", "2001:db8:53::53"};
    ASSERT_TRUE(hostRoutes(hosts4, hosts6)) << tables();

    // One at a time.
    must("ip route del 198.51.100.7 && ip -6 route del 2001:db8:53::53");
    probe();
    EXPECT_TRUE(eventually([&] { return hostRoutes(hosts4, hosts6); }, 3s)) << tables();
    EXPECT_TRUE(daemon.logged(
        "Routes (IPv4) were removed by another program; put back: 198.51.100.7 via 192.0.2.1 (0 "
        "more times since the last report)"));
    // All at once, with the uplink's own route, as a reapply does: nothing can come back
    // before the uplink's address does.
    must("ip route flush dev veth0");
    probe();
    EXPECT_TRUE(daemon.waitLogged(
        "Routes (IPv4) cannot be put back while their gateway or device is missing: 203.0.113.53 "
        "via 192.0.2.1, 198.51.100.7 via 192.0.2.1"))
        << tables();
    must(addressBack);
    EXPECT_TRUE(eventually([&] { return hostRoutes(hosts4, hosts6); }, 3s)) << tables();
    EXPECT_EQ(leaked(), 0);

    // Connected: the tunnel's routes are kept too, and the server's.
    daemon.send({"connectionsuccesful", "connectionsuccesful4", "10.8.0.1", "connectionsuccesful6",
                 "fd42::1"});
    ASSERT_EQ(tunnelRoutes(), 3) << tables();
    must("ip route del default via 10.8.0.1 && ip -6 route del default via fd42::1");
    must("ip route del default via 10.8.0.1 table 1000");
    probe();
    EXPECT_TRUE(eventually([&] { return tunnelRoutes() == 3; }, 3s)) << tables();
    must("ip route flush dev veth0 && " + std::string(addressBack));
    EXPECT_TRUE(eventually([&] { return hostRoutes({"198.51.100.7"}, {"2001:db8:5::7"}); }, 3s))
        << tables();
    // The DNS routes went with the connection's success, by the daemon's hand.
    EXPECT_EQ(sandbox->countRoutes4("203.0.113.53") + sandbox->countRoutes6("2001:db8:53::53"), 0);
    EXPECT_EQ(leaked(), 0);

    // The daemon's own removals: watchers that looked after them put nothing back.
    daemon.send({"connectionclosed"});
    const int before4 = looks("IPv4"), before6 = looks("IPv6");
    must("ip addr add 192.0.2.11/24 dev veth0 && ip -6 addr add 2001:db8::11/64 dev veth0 nodad");
    ASSERT_TRUE(eventually([&] { return looks("IPv4") > before4 && looks("IPv6") > before6; }));
    EXPECT_EQ(tunnelRoutes(), 0) << tables();
    EXPECT_EQ(sandbox->countRoutes4("198.51.100.7") + sandbox->countRoutes6("2001:db8:5::7"), 0)
        << tables();

    daemon.send({"dnsaddress", "203.0.113.53", "disablelockdown"});
    EXPECT_EQ(sandbox->countRoutes4("203.0.113.53"), 0) << tables();
    for (const std::string& message : daemon.messages())
        EXPECT_EQ(message.find("putting back"), std::string::npos) << message;
}

}  // namespace
}  // namespace systest
