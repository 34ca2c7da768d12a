// The kill switch of the real daemon: a default route that appears in the main table carries
// no packet, while the daemon runs and after it was killed; the rules come back when another
// program deletes them, and go with lockdown and with a forced-mode connection.

#include <signal.h>
#include <sys/socket.h>

#include <string>

#include "system_test.h"
#include "util/unique_fd.h"

namespace systest {
namespace {

constexpr const char* farAddress = "203.0.113.1";  // behind the uplink, on "outside"'s loopback
constexpr std::uint16_t farPort = 5353;

class KillSwitch : public SystemTest {
  protected:
    void SetUp() override {
        SystemTest::SetUp();
        if (IsSkipped()) return;
        mustOutside("ip addr add 203.0.113.1/32 dev lo");
    }

    // How many of 100 datagrams to farAddress reach the far side. A marker sent after them
    // over the LAN, which the rules leave to the main table, shows when all have arrived.
    int datagramsThrough() {
        const util::unique_fd receiver = farReceiver(farPort);
        const util::unique_fd sender(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sendDatagrams(sender.get(), farAddress, farPort, 100);
        sendDatagrams(sender.get(), lanPeer, farPort, 1, "marker");
        return countBeforeMarker(receiver.get(), "marker");
    }

    std::string routeGet(const std::string& address) const {
        const CommandResult result = sh("ip route get " + address);
        return result.status == 0 ? result.output : "unreachable";
    }
    int ruleLines(const std::string& family, const std::string& text) const {
        const std::string rules = must("ip " + family + " rule show");
        int count = 0;
        for (std::size_t at = rules.find(text); at != std::string::npos;
             at = rules.find(text, at + 1))
            ++count;
        return count;
    }
    bool holds() const {
        for (const std::string family : {"-4", "-6"}) {
            if (ruleLines(family, "1000:\tfrom all lookup main suppress_prefixlength 0") != 1 ||
                ruleLines(family, "1001:\tfrom all lookup 1000") != 1)
                return false;
        }
        return table("-4").find("unreachable default") != std::string::npos &&
               table("-6").find("unreachable default") != std::string::npos;
    }
    // Our table's routes, empty when it does not exist.
    std::string table(const std::string& family) const {
        const CommandResult result = sh("ip " + family + " route show table 1000");
        return result.status == 0 ? result.output : "";
    }
    bool gone() const {
        return ruleLines("-4", "lookup 1000") + ruleLines("-6", "lookup 1000") +
                       ruleLines("-4", "suppress_prefixlength") + ruleLines("-6", "suppress") ==
                   0 &&
               table("-4").empty() && table("-6").empty();
    }
    std::string tables() const {
        std::string log;
        for (const auto& m : daemon.messages())
            log += m + "\n";
        return "\n" + log +
               sh("ip rule; ip -6 rule; ip route show table all; ip -6 route show table all")
                   .output;
    }
};

TEST_F(KillSwitch, InLockdownADefaultRouteCarriesNothingEvenWhileTheDaemonIsDown) {
    writeConfiguration("lockdown=true\n");
    daemon.start();
    ASSERT_TRUE(holds()) << tables();
    daemon.send({"prepareforconnect", "serveraddress", "198.51.100.7"});
    EXPECT_NE(routeGet("198.51.100.7").find("via 192.0.2.1 dev veth0"), std::string::npos);
    // One the watcher leaves in place: the rules alone keep it unused.
    must("ip route add default metric 40 nexthop via 192.0.2.1 nexthop via 192.0.2.2");
    EXPECT_EQ(routeGet(farAddress), "unreachable");
    EXPECT_EQ(datagramsThrough(), 0);
    must("ip route del default metric 40");

    daemon.kill(SIGKILL);
    ASSERT_TRUE(daemon.waitExit());
    EXPECT_TRUE(holds()) << tables();
    must("ip route add default via 192.0.2.1 proto dhcp metric 100");
    must("ip -6 route add default via fe80::1 dev veth0 proto ra metric 100");
    EXPECT_EQ(routeGet(farAddress), "unreachable");
    EXPECT_NE(sh("ip -6 route get 2001:db8:ffff::1").status, 0);
    EXPECT_EQ(datagramsThrough(), 0);

    // A restart in lockdown keeps them, without a second copy; what others delete comes back.
    daemon.start();
    EXPECT_TRUE(holds()) << tables();
    must("ip rule del priority 1001");
    must("ip -6 route del unreachable default table 1000");
    must("ip -6 route del blackhole default");
    EXPECT_TRUE(eventually([&] { return holds(); })) << tables();
    EXPECT_TRUE(eventually([&] { return sandbox->countRoutes6("blackhole default") == 1; }));
    EXPECT_TRUE(daemon.waitLogged(
        "The kill switch's rules or routes (IPv4) were removed by another program; put back"));

    daemon.send({"disablelockdown"});
    EXPECT_TRUE(gone()) << tables();
    EXPECT_NE(routeGet(farAddress).find("via 192.0.2.1 dev veth0"), std::string::npos);
    EXPECT_EQ(datagramsThrough(), 100);

    // Killed in lockdown, then started without it: what is left of the kill switch goes.
    daemon.send({"enablelockdown"});
    ASSERT_TRUE(holds()) << tables();
    daemon.kill(SIGKILL);
    ASSERT_TRUE(daemon.waitExit());
    writeConfiguration("lockdown=false\n");
    // A new boot: /run starts empty, so no lockdown of the killed run is taken up.
    ::unlink("/run/telvord/state");
    daemon.start();
    EXPECT_TRUE(gone()) << tables();
    EXPECT_NE(sh("nft list table inet telvord").status, 0) << "nor is the guard's table left";
}

TEST_F(KillSwitch, AForcedConnectionHoldsItWhileUpAndTheTunnelStillCarries) {
    daemon.start();
    sandbox->addTunnel();
    daemon.send({"enableforced", "prepareforconnect", "serveraddress", "198.51.100.7"});
    EXPECT_TRUE(gone()) << tables();
    daemon.send({"connectionsuccesful", "connectionsuccesful4", "10.8.0.1", "connectionsuccesful6",
                 "fd42::1"});
    ASSERT_TRUE(holds()) << tables();
    EXPECT_NE(routeGet(farAddress).find("dev tun0"), std::string::npos) << tables();
    EXPECT_NE(must("ip -6 route get 2001:db8:ffff::1").find("dev tun0"), std::string::npos);
    // OpenVPN's own packets reach the server by its host route; anyone else's go through the
    // tunnel.
    EXPECT_NE(routeGet("198.51.100.7 mark 0x2e1d").find("via 192.0.2.1 dev veth0"),
              std::string::npos)
        << tables();
    EXPECT_NE(routeGet("198.51.100.7").find("dev tun0"), std::string::npos) << tables();

    must("ip route add default metric 1 nexthop via 192.0.2.1 nexthop via 192.0.2.2");
    EXPECT_NE(routeGet(farAddress).find("dev tun0"), std::string::npos) << tables();
    EXPECT_EQ(datagramsThrough(), 0);
    must("ip route del default metric 1");

    daemon.send({"connectionclosed"});
    EXPECT_TRUE(gone()) << tables();
    EXPECT_NE(routeGet(farAddress).find("via 192.0.2.1 dev veth0"), std::string::npos);
}

}  // namespace
}  // namespace systest
