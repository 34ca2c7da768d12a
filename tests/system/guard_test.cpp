// The egress guard of the real daemon against each way out that routes do not close: routes a
// real DHCP server pushes and a real router advertises, a socket bound to the uplink, traffic
// forwarded from a namespace behind NAT, and DNS to the LAN while the resolver is replaced.
// Each counts the datagrams that arrive on the far side of the uplink, while the LAN and the VPN
// server stay reachable; and the guard comes back when flushed and leaves no trace.

#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/marks.h"
#include "system_test.h"
#include "util/unique_fd.h"

namespace systest {
namespace {

constexpr const char* farAddress = "203.0.113.1";  // behind the uplink, on "outside"'s loopback
constexpr const char* farAddress6 = "2001:db8:ffff::1";
constexpr const char* server = "198.51.100.7";
constexpr std::uint16_t farPort = 5353, markerPort = 5354;
constexpr int sent = 20;

// A UDP socket whose packets carry OpenVPN's mark, as the daemon's OpenVPN marks its own.
util::unique_fd markedSocket(int family = AF_INET) {
    util::unique_fd socket(::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const unsigned mark = core::openVpnMark;
    ::setsockopt(socket.get(), SOL_SOCKET, SO_MARK, &mark, sizeof mark);
    return socket;
}

void bindPort(int socket, int family, std::uint16_t port) {
    sockaddr_in6 six{};
    sockaddr_in four{};
    six.sin6_family = AF_INET6;
    four.sin_family = AF_INET;
    six.sin6_port = four.sin_port = htons(port);
    const bool v6 = family == AF_INET6;
    if (::bind(socket, v6 ? reinterpret_cast<sockaddr*>(&six) : reinterpret_cast<sockaddr*>(&four),
               v6 ? sizeof six : sizeof four) != 0)
        throw std::runtime_error("cannot bind port " + std::to_string(port));
}

// The far end of tun0, held as OpenVPN holds it: what the host sends into the tunnel.
class TunnelEnd {
  public:
    TunnelEnd() : fd_(::open("/dev/net/tun", O_RDWR | O_CLOEXEC | O_NONBLOCK)) {
        ifreq request{};
        std::strcpy(request.ifr_name, "tun0");
        request.ifr_flags = IFF_TUN | IFF_NO_PI;
        if (!fd_ || ::ioctl(fd_.get(), TUNSETIFF, &request) != 0)
            throw std::runtime_error("cannot attach to tun0");
    }
    // How many UDP datagrams to `port` the tunnel carried since the last call.
    int datagrams(std::uint16_t port) {
        int count = 0;
        std::array<unsigned char, 2048> packet{};
        for (ssize_t n; (n = ::read(fd_.get(), packet.data(), packet.size())) > 0;) {
            const std::size_t header = (packet[0] >> 4) == 6 ? 40 : (packet[0] & 0xf) * 4u;
            const int protocol = (packet[0] >> 4) == 6 ? packet[6] : packet[9];
            if (protocol == IPPROTO_UDP && static_cast<std::size_t>(n) >= header + 8 &&
                (packet[header + 2] << 8 | packet[header + 3]) == port)
                ++count;
        }
        return count;
    }

  private:
    util::unique_fd fd_;
};

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
    // when everything has arrived; a datagram to the VPN server with OpenVPN's mark goes with
    // the first.
    int arrived(const std::function<void()>& send, std::uint16_t port = farPort) {
        const util::unique_fd receiver = farReceiver(port), markers = farReceiver(markerPort);
        const util::unique_fd lan(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        const util::unique_fd openVpn = markedSocket();
        send();
        sendDatagrams(openVpn.get(), server, markerPort, 1, "server");
        sendDatagrams(lan.get(), lanPeer, markerPort, 1, "marker");
        EXPECT_EQ(countBeforeMarker(markers.get(), "marker"), 1) << "the VPN server is reachable";
        sendDatagrams(lan.get(), lanPeer, markerPort, 1, "marker");
        countBeforeMarker(markers.get(), "marker");
        int count = 0;
        for (char byte; ::recv(receiver.get(), &byte, 1, MSG_DONTWAIT | MSG_TRUNC) >= 0;)
            ++count;
        return count;
    }
    int arrivedFrom(int family, const char* to, const char* device = nullptr,
                    std::uint16_t port = farPort, std::uint16_t fromPort = 0) {
        const util::unique_fd socket(::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        if (device != nullptr)
            ::setsockopt(socket.get(), SOL_SOCKET, SO_BINDTODEVICE, device, IF_NAMESIZE);
        if (fromPort != 0) bindPort(socket.get(), family, fromPort);
        return arrived([&] { sendDatagrams(socket.get(), to, port, sent); }, port);
    }

    // Connected in lockdown through tun0, whose far end the test holds as OpenVPN would.
    void connect() {
        sandbox->addTunnel();
        tunnel.emplace();
        daemon.send({"connectionsuccesful", "connectionsuccesful4", "10.8.0.1",
                     "connectionsuccesful6", "fd42::1"});
    }
    // How many of the datagrams `send` sends to farPort the tunnel carries.
    int carried(const std::function<void()>& send) {
        tunnel->datagrams(farPort);
        send();
        int count = 0;
        eventually([&] { return (count += tunnel->datagrams(farPort)) >= sent; }, 2s);
        return count;
    }

    bool guardInPlace() const { return sh("nft list chain inet telvord uplink").status == 0; }
    std::string state() const {
        return "\n" +
               sh("ip route; ip -6 route; ip rule; ip route show table 1000; nft list ruleset")
                   .output;
    }

    // dnsmasq on the LAN's side leasing `range` (its dhcp-range, with further options), and
    // dhcpcd taking the lease on veth0 with `options` in its configuration.
    void lease(const std::string& range, const std::string& options) {
        const std::string scratch = sandbox->scratch();
        sandbox->mountTmpfs("/var/lib/dhcpcd", "mode=0755");
        mustOutside(
            "dnsmasq --conf-file=/dev/null --no-resolv --no-hosts --port=0 --user=root"
            " --group=root --bind-interfaces --interface=veth1 --pid-file=" +
            scratch + "/dnsmasq.pid --dhcp-leasefile=" + scratch + "/leases --log-dhcp" +
            " --log-facility=" + scratch + "/dnsmasq.log --dhcp-range=" + range);
        writeFile(scratch + "/dhcpcd.conf", options + "option subnet_mask\n");
        dhcpcd.emplace(std::vector<std::string>{"dhcpcd", "-f", scratch + "/dhcpcd.conf", "-c",
                                                "/bin/true", "-4", "-B", "veth0"},
                       scratch + "/dhcpcd.log");
    }
    // Whether a renewal of dhcpcd's lease gets its answer; both ends' logs when it does not.
    testing::AssertionResult renews() {
        const std::string scratch = sandbox->scratch();
        const auto acks = [&] {
            const std::string log = readFile(scratch + "/dnsmasq.log");
            int count = 0;
            for (std::size_t at = log.find("DHCPACK"); at != std::string::npos;
                 at = log.find("DHCPACK", at + 1))
                ++count;
            return count;
        };
        const int before = acks();
        ::kill(dhcpcd->pid(), SIGUSR1);
        if (eventually([&] { return acks() > before; }, 10s)) return testing::AssertionSuccess();
        return testing::AssertionFailure() << state() << "dnsmasq:\n"
                                           << readFile(scratch + "/dnsmasq.log") << "dhcpcd:\n"
                                           << readFile(scratch + "/dhcpcd.log");
    }

    std::string skipReason;
    std::optional<TunnelEnd> tunnel;
    std::optional<Program> dhcpcd;
};

#define SKIP_WITHOUT(...) \
    if (missing({__VA_ARGS__})) GTEST_SKIP() << skipReason

TEST_F(Guard, RoutesARealDhcpServerPushesCarryNothingWhileTheLanAndDhcpWork) {
    SKIP_WITHOUT("dnsmasq", "dhcpcd");
    lockdownConnecting();
    lease(
        "192.0.2.100,192.0.2.150,255.255.255.0,2m --dhcp-option=121,0.0.0.0/1,192.0.2.1,"
        "128.0.0.0/1,192.0.2.1",
        "option classless_static_routes\n");
    ASSERT_TRUE(
        eventually([&] { return sandbox->countRoutes4("128.0.0.0/1 via 192.0.2.1") == 1; }, 20s))
        << state() << readFile(sandbox->scratch() + "/dhcpcd.log");
    ASSERT_NE(must(std::string("ip route get ") + farAddress).find("via 192.0.2.1 dev veth0"),
              std::string::npos)
        << "the pushed routes lead past the kill switch's rules";

    EXPECT_EQ(arrivedFrom(AF_INET, farAddress), 0) << state();

    EXPECT_TRUE(renews()) << "the renewal went through";
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
    fromInner(lanPeer, markerPort, 1, "marker");
    EXPECT_EQ(countBeforeMarker(markers.get(), "marker"), 0) << "the LAN is reached through NAT";

    daemon.send({"disablelockdown"});
    EXPECT_NE(must("iptables -t nat -S").find("-A POSTROUTING -o veth0 -j MASQUERADE"),
              std::string::npos)
        << "another program's table is left as it was";
}

TEST_F(Guard, DnsToTheLanIsRefusedWhileConnectedWithTheResolverReplaced) {
    mustOutside("ip addr add 10.8.1.53/32 dev veth1");
    lockdownConnecting();
    sandbox->addTunnel();
    daemon.send(
        {"connectionsuccesful", "connectionsuccesful4", "10.8.0.1", "replacedns", "10.8.0.1"});
    // DNS, and LLMNR, which a resolver sends to the link for names no server gave it.
    const std::uint16_t ports[] = {53, 5355};
    const util::unique_fd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const auto lookups = [&](std::uint16_t port) {
        const util::unique_fd receiver = farReceiver(port);
        arrived([&] { sendDatagrams(socket.get(), "10.8.1.53", port, sent, "query"); });
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

TEST_F(Guard, APublicPrefixARealDhcpServerLeasesIsNoLanAndConnectedItsTrafficTakesTheTunnel) {
    SKIP_WITHOUT("dnsmasq", "dhcpcd");
    lockdownConnecting();
    // The target of the attack, farAddress, inside the prefix the LAN hands out as its own.
    mustOutside("ip addr add 203.0.113.1/24 dev veth1");
    lease("203.0.113.100,203.0.113.150,255.255.255.0,2m", "");
    ASSERT_TRUE(
        eventually([&] { return sandbox->countRoutes4("203.0.113.0/24 dev veth0") == 1; }, 20s))
        << state() << readFile(sandbox->scratch() + "/dhcpcd.log");

    EXPECT_EQ(arrivedFrom(AF_INET, farAddress), 0) << state();
    EXPECT_TRUE(renews()) << "the renewal to the server on the public prefix went through";

    connect();
    const util::unique_fd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    int through = 0;
    EXPECT_EQ(arrived([&] {
                  through =
                      carried([&] { sendDatagrams(socket.get(), farAddress, farPort, sent); });
              }),
              0)
        << state();
    EXPECT_EQ(through, sent) << "the tunnel carries the traffic to the LAN's public prefix";
}

TEST_F(Guard, EachExemptionCarriesOnlyWhatItIsFor) {
    mustOutside(
        "ip addr add 203.0.113.53/32 dev lo; ip addr add 169.254.7.7/32 dev lo;"
        " sysctl -qw net.ipv4.conf.all.rp_filter=0 net.ipv4.ip_forward=1");
    lockdownConnecting();
    daemon.send({"dnsaddress", "203.0.113.53"});
    // Routes the LAN pushed, through its router, for the internet and a link-local address.
    must(
        "ip route add 203.0.113.0/24 via 192.0.2.1 && ip route add 169.254.7.7 via 192.0.2.1 &&"
        " ip -6 route add 2001:db8:ffff::/48 via fe80::1 dev veth0");

    // A DNS server of the connection: DNS, and nothing else.
    EXPECT_EQ(arrivedFrom(AF_INET, "203.0.113.53", nullptr, 53), sent) << state();
    EXPECT_EQ(arrivedFrom(AF_INET, "203.0.113.53", nullptr, farPort), 0) << state();
    // DHCP and DHCPv6 client ports go to the link only.
    EXPECT_EQ(arrivedFrom(AF_INET, farAddress, nullptr, 67, 68), 0) << state();
    EXPECT_EQ(arrivedFrom(AF_INET6, farAddress6, nullptr, 547, 546), 0) << state();
    // A link-local destination behind a router, from a socket bound to the uplink.
    EXPECT_EQ(arrivedFrom(AF_INET, "169.254.7.7", "veth0"), 0) << state();

    // The LAN routes the tunnel's address to the host, which reverse-path filters loosely.
    must("sysctl -qw net.ipv4.conf.all.rp_filter=2 net.ipv4.conf.veth0.rp_filter=2");
    mustOutside("ip route add 10.8.0.2 via 192.0.2.10");
    connect();
    const util::unique_fd listener(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    bindPort(listener.get(), AF_INET, farPort);
    shOutside("bash -c 'for i in $(seq " + std::to_string(sent) +
              "); do printf probe >/dev/udp/10.8.0.2/" + std::to_string(farPort) + "; done'");
    char byte = 0;
    EXPECT_LT(::recv(listener.get(), &byte, 1, MSG_TRUNC), 0) << "nothing reached a listener";
    const util::unique_fd service(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    bindPort(service.get(), AF_INET, farPort);
    ASSERT_EQ(::listen(service.get(), 4), 0);
    const auto connects = [&](const std::string& to) {
        return shOutside("timeout 2 bash -c 'exec 3<>/dev/tcp/" + to + "/" +
                         std::to_string(farPort) + "'")
                   .status == 0;
    };
    EXPECT_FALSE(connects("10.8.0.2")) << "no SYN-ACK from the tunnel's address to the LAN";
    EXPECT_TRUE(connects("10.8.1.10")) << "the host still answers the LAN at its own address";

    // Without lockdown every one of these ways is open: the counts above are the guard's.
    daemon.send({"disablelockdown"});
    EXPECT_EQ(arrivedFrom(AF_INET, "203.0.113.53", nullptr, farPort), sent) << state();
    EXPECT_EQ(arrivedFrom(AF_INET, farAddress, nullptr, 67, 68), sent) << state();
    EXPECT_EQ(arrivedFrom(AF_INET6, farAddress6, nullptr, 547, 546), sent) << state();
    EXPECT_EQ(arrivedFrom(AF_INET, "169.254.7.7", "veth0"), sent) << state();
    EXPECT_TRUE(connects("10.8.0.2"));
}

TEST_F(Guard, ConnectedTheServerIsExemptForOpenVpnAloneAndTheTunnelFollowsItsDevice) {
    lockdownConnecting();
    connect();
    const util::unique_fd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const auto toServer = [&] { sendDatagrams(socket.get(), server, farPort, sent); };
    int through = 0;
    EXPECT_EQ(arrived([&] { through = carried(toServer); }), 0) << state();
    EXPECT_EQ(through, sent) << "another program's traffic to the server takes the tunnel";

    // The device goes and comes back with another index, as after OpenVPN's restart.
    tunnel.reset();
    must("ip link del tun0");
    sandbox->addTunnel();
    tunnel.emplace();
    // The watchers put the route back in main, then its copy in the kill switch's table,
    // which carries what rule 999 sends there.
    ASSERT_TRUE(eventually(
        [&] {
            return sandbox->countRoutes4("default via 10.8.0.1 dev tun0") == 1 &&
                   sh("ip route show table 1000").output.find("default via 10.8.0.1 dev tun0") !=
                       std::string::npos;
        },
        3s))
        << state();
    EXPECT_EQ(carried([&] { sendDatagrams(socket.get(), farAddress, farPort, sent); }), sent)
        << "the guard passes the new device without a command" << state();
}

}  // namespace
}  // namespace systest
