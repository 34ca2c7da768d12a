// The egress guard of the real daemon against each way out that routes do not close: routes a
// real DHCP server pushes and a real router advertises, a socket bound to the uplink, traffic
// forwarded from a namespace behind NAT, and DNS to the LAN while the resolver is replaced.
// Each counts the datagrams that arrive on the far side of the uplink, while the LAN and the VPN
// server stay reachable; and the guard comes back when flushed and leaves no trace.

#include <net/if.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "system_test.h"
#include "util/unique_fd.h"

namespace systest {
namespace {

constexpr const char* farAddress = "203.0.113.1";  // behind the uplink, on "outside"'s loopback
constexpr const char* farAddress6 = "2001:db8:ffff::1";
constexpr const char* server = "198.51.100.7";
constexpr std::uint16_t farPort = 5353, markerPort = 5354;
constexpr int sent = 20;

class Guard : public SystemTest {
  protected:
    void SetUp() override {
        SystemTest::SetUp();
        if (IsSkipped()) return;
        mustOutside(
            "ip addr add 203.0.113.1/32 dev lo; ip addr add 2001:db8:ffff::1/128 dev lo;"
            " ip addr add 198.51.100.7/32 dev lo");
    }

    // Skips the test when a program it plays the LAN or other software with is missing.
    bool missing(std::initializer_list<const char*> programs) {
        for (const char* program : programs) {
            if (sh(std::string("command -v ") + program).status != 0) {
                skipReason = std::string(program) + " is not installed";
                return true;
            }
        }
        return false;
    }

    void lockdownConnecting() {
        writeConfiguration("lockdown=true\n");
        daemon.start();
        daemon.send({"prepareforconnect", "serveraddress", server});
    }

    // How many datagrams that `send` sends to farPort reach the far side. Markers sent after
    // them over the LAN, twice so that what waited for a neighbour has gone out too, tell
    // when everything has arrived; a datagram to the VPN server goes with the first.
    int arrived(const std::function<void()>& send) {
        const util::unique_fd receiver = farReceiver(farPort), markers = farReceiver(markerPort);
        const util::unique_fd lan(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        send();
        sendDatagrams(lan.get(), server, markerPort, 1, "server");
        sendDatagrams(lan.get(), "192.0.2.1", markerPort, 1, "marker");
        EXPECT_EQ(countBeforeMarker(markers.get(), "marker"), 1) << "the VPN server is reachable";
        sendDatagrams(lan.get(), "192.0.2.1", markerPort, 1, "marker");
        countBeforeMarker(markers.get(), "marker");
        int count = 0;
        for (char byte; ::recv(receiver.get(), &byte, 1, MSG_DONTWAIT | MSG_TRUNC) >= 0;)
            ++count;
        return count;
    }
    int arrivedFrom(int family, const char* to, const char* device = nullptr) {
        const util::unique_fd socket(::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        if (device != nullptr)
            ::setsockopt(socket.get(), SOL_SOCKET, SO_BINDTODEVICE, device, IF_NAMESIZE);
        return arrived([&] { sendDatagrams(socket.get(), to, farPort, sent); });
    }

    bool guardInPlace() const { return sh("nft list chain inet telvord uplink").status == 0; }
    std::string state() const {
        return "\n" + sh("ip route; ip -6 route; ip rule; nft list ruleset").output;
    }

    std::string skipReason;
};

#define SKIP_WITHOUT(...) \
    if (missing({__VA_ARGS__})) GTEST_SKIP() << skipReason

TEST_F(Guard, RoutesARealDhcpServerPushesCarryNothingWhileTheLanAndDhcpWork) {
    SKIP_WITHOUT("dnsmasq", "dhcpcd");
    const std::string scratch = sandbox->scratch();
    sandbox->mountTmpfs("/var/lib/dhcpcd", "mode=0755");
    lockdownConnecting();
    mustOutside(
        "dnsmasq --conf-file=/dev/null --no-resolv --no-hosts --port=0 --user=root"
        " --group=root --bind-interfaces --interface=veth1 --pid-file=" +
        scratch + "/dnsmasq.pid --dhcp-leasefile=" + scratch +
        "/leases --log-dhcp --log-facility=" + scratch +
        "/dnsmasq.log --dhcp-range=192.0.2.100,192.0.2.150,255.255.255.0,2m"
        " --dhcp-option=121,0.0.0.0/1,192.0.2.1,128.0.0.0/1,192.0.2.1");
    writeFile(scratch + "/dhcpcd.conf", "option classless_static_routes\noption subnet_mask\n");
    const Program dhcpcd(
        {"dhcpcd", "-f", scratch + "/dhcpcd.conf", "-c", "/bin/true", "-4", "-B", "veth0"},
        scratch + "/dhcpcd.log");
    ASSERT_TRUE(
        eventually([&] { return sandbox->countRoutes4("128.0.0.0/1 via 192.0.2.1") == 1; }, 20s))
        << state() << readFile(scratch + "/dhcpcd.log");
    ASSERT_NE(must(std::string("ip route get ") + farAddress).find("via 192.0.2.1 dev veth0"),
              std::string::npos)
        << "the pushed routes lead past the kill switch's rules";

    EXPECT_EQ(arrivedFrom(AF_INET, farAddress), 0) << state();

    const auto acks = [&] {
        const std::string log = readFile(scratch + "/dnsmasq.log");
        int count = 0;
        for (std::size_t at = log.find("DHCPACK"); at != std::string::npos;
             at = log.find("DHCPACK", at + 1))
            ++count;
        return count;
    };
    const int before = acks();
    ::kill(dhcpcd.pid(), SIGUSR1);  // renew the lease
    EXPECT_TRUE(eventually([&] { return acks() > before; }, 10s)) << "the renewal went through";
}

TEST_F(Guard, ARouteARealRouterAdvertisesCarriesNothing) {
    SKIP_WITHOUT("radvd");
    const std::string scratch = sandbox->scratch();
    must("sysctl -qw net.ipv6.conf.veth0.accept_ra_rt_info_max_plen=64");
    lockdownConnecting();
    writeFile(scratch + "/radvd.conf",
              "interface veth1 {\n AdvSendAdvert on;\n MinRtrAdvInterval 3;\n"
              " MaxRtrAdvInterval 4;\n AdvDefaultLifetime 0;\n"
              " route 2001:db8:ffff::/48 { AdvRoutePreference high; };\n};\n");
    mustOutside("sysctl -qw net.ipv6.conf.all.forwarding=1; radvd -C " + scratch +
                "/radvd.conf -p " + scratch + "/radvd.pid -m logfile -l " + scratch + "/radvd.log");
    ASSERT_TRUE(
        eventually([&] { return sandbox->countRoutes6("2001:db8:ffff::/48 via") == 1; }, 20s))
        << state() << readFile(scratch + "/radvd.log");

    EXPECT_EQ(arrivedFrom(AF_INET6, farAddress6), 0) << state();
}

TEST_F(Guard, ASocketBoundToTheUplinkGetsNothingOut) {
    // Any LAN host may answer for an address the kernel takes to be on the link.
    mustOutside("sysctl -qw net.ipv4.conf.veth1.proxy_arp=1");
    lockdownConnecting();
    ASSERT_EQ(must(std::string("ip route get ") + farAddress + " oif veth0").find("via"),
              std::string::npos)
        << "with no route, a bound socket's destination is taken to be on the link";

    EXPECT_EQ(arrivedFrom(AF_INET, farAddress, "veth0"), 0) << state();
}

TEST_F(Guard, ForwardedTrafficBehindNatGetsNothingOutAndOtherFirewallsKeepWorking) {
    SKIP_WITHOUT("iptables");
    // A container's namespace behind NAT, as a container engine sets it up with iptables-nft.
    must("ip netns add inner && ip link add vethc0 type veth peer name vethc1 netns inner");
    sandbox->adopt("vethc0");
    must("ip addr add 198.51.100.65/26 dev vethc0 && ip link set vethc0 up");
    must(
        "ip netns exec inner sh -ec 'ip link set lo up; ip addr add 198.51.100.66/26 dev vethc1;"
        " ip link set vethc1 up; ip route add default via 198.51.100.65'");
    must("sysctl -qw net.ipv4.ip_forward=1");
    must("iptables -t nat -A POSTROUTING -o veth0 -j MASQUERADE && iptables -A FORWARD -j ACCEPT");
    lockdownConnecting();
    must("ip route add 203.0.113.0/24 via 192.0.2.1");  // a route the LAN pushed

    const auto fromInner = [&](const std::string& to, std::uint16_t port, int count,
                               const char* payload) {
        sh("ip netns exec inner bash -c 'for i in $(seq " + std::to_string(count) +
           "); do printf " + payload + " >/dev/udp/" + to + "/" + std::to_string(port) +
           "; done' 2>/dev/null");
    };
    EXPECT_EQ(arrived([&] { fromInner(farAddress, farPort, sent, "leak"); }), 0) << state();
    const util::unique_fd markers = farReceiver(markerPort);
    fromInner("192.0.2.1", markerPort, 1, "marker");
    EXPECT_EQ(countBeforeMarker(markers.get(), "marker"), 0) << "the LAN is reached through NAT";

    daemon.send({"disablelockdown"});
    EXPECT_NE(must("iptables -t nat -S").find("-A POSTROUTING -o veth0 -j MASQUERADE"),
              std::string::npos)
        << "another program's table is left as it was";
}

TEST_F(Guard, DnsToTheLanIsRefusedWhileConnectedWithTheResolverReplaced) {
    mustOutside("ip addr add 192.0.2.53/32 dev veth1");
    lockdownConnecting();
    sandbox->addTunnel();
    daemon.send(
        {"connectionsuccesful", "connectionsuccesful4", "10.8.0.1", "replacedns", "10.8.0.1"});
    // DNS, and LLMNR, which a resolver sends to the link for names no server gave it.
    const std::uint16_t ports[] = {53, 5355};
    const util::unique_fd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const auto lookups = [&](std::uint16_t port) {
        const util::unique_fd receiver = farReceiver(port);
        arrived([&] { sendDatagrams(socket.get(), "192.0.2.53", port, sent, "query"); });
        int count = 0;
        for (char byte; ::recv(receiver.get(), &byte, 1, MSG_DONTWAIT | MSG_TRUNC) >= 0;)
            ++count;
        return count;
    };
    for (const std::uint16_t port : ports)
        EXPECT_EQ(lookups(port), 0) << "port " << port << "\n" << state();
    daemon.send({"restoredns"});
    for (const std::uint16_t port : ports)
        EXPECT_EQ(lookups(port), sent) << "the LAN's port " << port << " is the LAN's again";
}

TEST_F(Guard, AFlushedGuardComesBackOutlivesTheDaemonAndLeavesNoTraceWhenDisabled) {
    lockdownConnecting();
    ASSERT_TRUE(guardInPlace()) << state();
    must("nft flush ruleset");
    EXPECT_TRUE(eventually([&] { return guardInPlace(); })) << state();
    EXPECT_TRUE(daemon.waitLogged(
        "The packet filter guard (table inet telvord) was removed or changed by another program; "
        "put back (0 more times since the last report)"));
    must("ip route add 0.0.0.0/1 via 192.0.2.1 && ip route add 128.0.0.0/1 via 192.0.2.1");
    EXPECT_EQ(arrivedFrom(AF_INET, farAddress), 0) << state();

    // It stays while the daemon is dead, and a restart in lockdown takes it up again.
    daemon.kill(SIGKILL);
    ASSERT_TRUE(daemon.waitExit());
    EXPECT_EQ(arrivedFrom(AF_INET, farAddress), 0) << state();
    daemon.start();
    daemon.send({"disablelockdown"});
    EXPECT_EQ(must("nft list tables").find("telvord"), std::string::npos) << state();
    EXPECT_EQ(arrivedFrom(AF_INET, farAddress), sent) << "without lockdown the routes carry";
}

}  // namespace
}  // namespace systest
