// The LAN behind the uplink: the namespaces "far" and "guest", and the LAN's DHCP server, the
// host's DHCP client and the LAN's router advertisements, each started by the program itself.

#include "lan.h"

#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>

#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "host.h"
#include "netlink/lan.h"

namespace bench {

namespace {

using util::unique_fd;

const std::string dhcpcdConfiguration = std::string(scratch) + "/dhcpcd.conf";
const std::string radvdConfiguration = std::string(scratch) + "/radvd.conf";
const std::string dhcpLog = std::string(scratch) + "/dhcp.log";
const std::string radvdLog = std::string(scratch) + "/radvd.log";

// dhcpcd asks for the classless static routes and runs no hook script, so that it changes
// nothing but veth0's address and routes; the rest keeps the exchange short.
constexpr const char* dhcpcdSettings =
    "script \"\"\n"
    "ipv4only\n"
    "noarp\n"
    "noipv4ll\n"
    "nodelay\n"
    "option classless_static_routes\n";

// A router that is no default router: only the route information option leads anywhere.
constexpr const char* radvdSettings =
    "interface veth1 {\n"
    "    AdvSendAdvert on;\n"
    "    MinRtrAdvInterval 3;\n"
    "    MaxRtrAdvInterval 4;\n"
    "    AdvDefaultLifetime 0;\n"
    "    route 2001:db8:ffff::/48 { AdvRouteLifetime 60; };\n"
    "};\n";

void writeFile(const std::string& path, const char* text) {
    std::ofstream file(path, std::ios::trunc);
    file << text;
    if (!file.flush()) die("cannot write " + path);
}

// The main table's routes of `family` through a gateway, other than default routes, that
// `protocol` made.
std::size_t routesMadeBy(int family, unsigned char protocol) {
    std::size_t count = 0;
    for (const routing::RouteInfo& route : dumpRoutes(family))
        count += route.table == RT_TABLE_MAIN && route.protocol == protocol && route.gateway &&
                 route.dstLength > 0;
    return count;
}

// Waits for `condition`; when it does not come, shows what the LAN's software said and dies.
void waitForLan(const std::function<bool()>& condition, const std::string& what,
                const std::string& log) {
    if (holdsWithin(condition, std::chrono::seconds(10))) return;
    std::cerr << std::ifstream(log).rdbuf();
    die("timed out waiting for " + what);
}

bool hasCarrier(const char* interface) {
    const unique_fd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq request{};
    std::strncpy(request.ifr_name, interface, IFNAMSIZ - 1);
    return ::ioctl(socket.get(), SIOCGIFFLAGS, &request) == 0 && (request.ifr_flags & IFF_RUNNING);
}

void setUpFar(const NetNamespace& far) {
    const std::string name = far.name();
    must({"ip", "link", "set", "veth1", "netns", name});
    must({"ip", "-n", name, "link", "set", "lo", "up"});
    must({"ip", "-n", name, "link", "set", "veth1", "addrgenmode", "none"});  // fe80::1 alone
    must({"ip", "-n", name, "addr", "add", "192.0.2.1/24", "dev", "veth1"});
    must({"ip", "-n", name, "-6", "addr", "add", "2001:db8::1/64", "dev", "veth1", "nodad"});
    must({"ip", "-n", name, "-6", "addr", "add", "fe80::1/64", "dev", "veth1", "nodad"});
    must({"ip", "-n", name, "addr", "add", "203.0.113.1/32", "dev", "lo"});
    must({"ip", "-n", name, "-6", "addr", "add", "2001:db8:ffff::1/128", "dev", "lo"});
    must({"ip", "-n", name, "addr", "add", "10.8.1.1/24", "dev", "veth1"});
    must({"ip", "-n", name, "addr", "add", "10.8.1.53/32", "dev", "veth1"});
    must({"ip", "-n", name, "link", "set", "veth1", "up"});
    must(far.exec({"sysctl", "-qw", "net.ipv6.conf.all.forwarding=1"}));  // radvd's wish
    // The tunnel's addresses through the host, from the private LAN where it is one.
    must({"ip", "-n", name, "route", "add", "10.8.0.2/32", "via", "10.8.1.10", "src", "10.8.1.1"});
    must({"ip", "-n", name, "-6", "route", "add", "fd42::2/128", "via", "2001:db8::10"});
}

void setUpGuest(const NetNamespace& guest) {
    const std::string name = guest.name();
    madeInterfaces.insert("ct0");
    must({"ip", "link", "add", "ct0", "type", "veth", "peer", "name", "ct1", "netns", name});
    must({"ip", "addr", "add", "198.51.100.65/26", "dev", "ct0"});
    must({"ip", "-6", "addr", "add", "2001:db8:1::65/64", "dev", "ct0", "nodad"});
    must({"ip", "link", "set", "ct0", "up"});
    must({"ip", "-n", name, "link", "set", "lo", "up"});
    must({"ip", "-n", name, "addr", "add", "198.51.100.66/26", "dev", "ct1"});
    must({"ip", "-n", name, "-6", "addr", "add", "2001:db8:1::66/64", "dev", "ct1", "nodad"});
    must({"ip", "-n", name, "link", "set", "ct1", "up"});
    must({"ip", "-n", name, "route", "add", "default", "via", "198.51.100.65"});
    must({"ip", "-n", name, "-6", "route", "add", "default", "via", "2001:db8:1::65"});
}

}  // namespace

Lan::Lan() : far_("far"), guest_("guest") {
    setUpFar(far_);
    setUpGuest(guest_);
    // Router advertisements count even while the host forwards (Masquerade).
    must({"sysctl", "-qw", "net.ipv6.conf.veth0.accept_ra=2"});
    must({"sysctl", "-qw", "net.ipv6.conf.veth0.accept_ra_rt_info_max_plen=64"});
    // Loose reverse-path filtering, as desktop distributions set it.
    must({"sysctl", "-qw", "net.ipv4.conf.all.rp_filter=2", "net.ipv4.conf.veth0.rp_filter=2"});
    // dhcpcd keeps its leases and identity there.
    if (::mount("tmpfs", "/var/lib/dhcpcd", "tmpfs", 0, "mode=0755") != 0)
        dieErrno("mount /var/lib/dhcpcd (is dhcpcd installed?)");
    writeFile(dhcpcdConfiguration, dhcpcdSettings);
    writeFile(radvdConfiguration, radvdSettings);
    waitFor([] { return hasCarrier("veth0"); }, "the carrier of veth0");
}

unique_fd Lan::openFarSide() const {
    const Inside inside(far_);
    unique_fd fd(::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, htons(ETH_P_ALL)));
    if (!fd) dieErrno("packet socket");
    // Room for a few hundred milliseconds of the streams, should the counting thread stall.
    const int bufferSize = 8 << 20;
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &bufferSize, sizeof bufferSize) != 0)
        dieErrno("SO_RCVBUFFORCE");
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_ALL);
    address.sll_ifindex = static_cast<int>(::if_nametoindex("veth1"));
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        dieErrno("bind veth1");
    return fd;
}

Child Lan::startInFar(std::vector<std::string> words, const std::string& log) const {
    return Child(far_.exec(std::move(words)), log);
}

bool Lan::boundInFar(std::uint16_t port) const {
    const Inside inside(far_);
    std::ifstream table("/proc/thread-self/net/udp");
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local;
        fields >> slot >> local;  // "ADDRESS:PORT" in hexadecimal
        const std::size_t colon = local.find(':');
        if (colon != std::string::npos && std::stoul(local.substr(colon + 1), nullptr, 16) == port)
            return true;
    }
    return false;
}

// --- DHCP leases ------------------------------------------------------------------------------

namespace {

constexpr unsigned leasePrefix = 24;

netlink::Address leaseNetwork(const Lease& lease) {
    const auto address = netlink::Address::parse(lease.address, AF_INET);
    if (!address) die("not an IPv4 address: " + lease.address);
    return netlink::masked(*address, leasePrefix);
}

// The router's address in the lease's /24, the .1, given to veth1 in "far" unless it is the
// gateway's, which it holds anyway; "" then.
std::string addRouter(const Lan& lan, const Lease& lease) {
    netlink::Address router = leaseNetwork(lease);
    router.bytes[3] = 1;
    if (router == uplink4) return {};
    const std::string text = router.text() + "/" + std::to_string(leasePrefix);
    must(lan.far().exec({"ip", "addr", "add", text, "dev", "veth1"}));
    return text;
}

// Whether the lease's address has its on-link route on veth0, and its pushed routes stand.
bool leaseStands(const Lease& lease) {
    const netlink::Address network = leaseNetwork(lease);
    bool onLink = false;
    for (const routing::RouteInfo& route : dumpRoutes(AF_INET))
        onLink |= route.table == RT_TABLE_MAIN && route.dstLength == leasePrefix &&
                  route.destination == network && route.outputInterface == vethIndex &&
                  !route.gateway;
    return onLink && routesMadeBy(AF_INET, RTPROT_DHCP) == lease.routes.size();
}

Child serveDhcp(const Lan& lan, const Lease& lease) {
    std::string routes = "--dhcp-option=option:classless-static-route";
    for (const std::string& prefix : lease.routes)
        routes += "," + prefix + ",192.0.2.1";
    const std::string range =
        "--dhcp-range=" + lease.address + "," + lease.address + ",255.255.255.0,2m";
    const std::string leases = "--dhcp-leasefile=" + std::string(scratch) + "/dnsmasq.leases";
    std::vector<std::string> words{"dnsmasq",
                                   "--keep-in-foreground",
                                   "--conf-file=/dev/null",
                                   "--no-resolv",
                                   "--no-hosts",
                                   "--port=0",
                                   "--pid-file=",
                                   "--user=root",
                                   "--group=root",
                                   "--interface=veth1",
                                   "--bind-interfaces",
                                   "--dhcp-authoritative",
                                   "--no-ping",
                                   range,
                                   leases,
                                   "--log-facility=-"};
    // Only with routes: with option 121, even an empty one, a client ignores the router.
    if (!lease.routes.empty()) words.push_back(routes);
    Child server = lan.startInFar(std::move(words), dhcpLog);
    // dhcpcd would wait seconds for its first retry if its first request found nobody.
    waitForLan([&] { return lan.boundInFar(67); }, "the DHCP server", dhcpLog);
    return server;
}

}  // namespace

DhcpLease::DhcpLease(const Lan& lan, const Lease& lease)
    : lan_(lan),
      router_(addRouter(lan, lease)),
      server_(serveDhcp(lan, lease)),
      client_({"dhcpcd", "--nobackground", "--config", dhcpcdConfiguration, "veth0"}, dhcpLog) {
    waitForLan([&] { return leaseStands(lease); }, "the DHCP lease and its routes", dhcpLog);
}

DhcpLease::~DhcpLease() {
    client_.stop(SIGTERM);  // dhcpcd releases the address and deletes its routes
    // dhcpcd took over the prefix route of veth0's own address, and took it along.
    must({"ip", "route", "replace", "192.0.2.0/24", "dev", "veth0", "proto", "kernel", "scope",
          "link", "src", "192.0.2.10"});
    server_.stop(SIGTERM);
    if (!router_.empty()) must(lan_.far().exec({"ip", "addr", "del", router_, "dev", "veth1"}));
}

// --- route information -------------------------------------------------------------------------

AdvertisedRoute::AdvertisedRoute(const Lan& lan)
    : router_(lan.startInFar({"radvd", "--nodaemon", "--config", radvdConfiguration, "--pidfile",
                              std::string(scratch) + "/radvd.pid", "--logmethod", "stderr"},
                             radvdLog)) {
    waitForLan([] { return routesMadeBy(AF_INET6, RTPROT_RA) == 1; },
               "the advertised route information", radvdLog);
}

AdvertisedRoute::~AdvertisedRoute() {
    router_.stop(SIGTERM);  // radvd's last advertisement withdraws the route
    waitFor([] { return routesMadeBy(AF_INET6, RTPROT_RA) == 0; }, "the route's withdrawal");
}

// --- forwarding --------------------------------------------------------------------------------

Masquerade::Masquerade() {
    must({"sysctl", "-qw", "net.ipv4.ip_forward=1", "net.ipv6.conf.all.forwarding=1"});
    must({"nft", "add", "table", "inet", "telvord_bench_nat"});
    must({"nft", "add", "chain", "inet", "telvord_bench_nat", "postrouting",
          "{ type nat hook postrouting priority srcnat ; }"});
    must({"nft", "add", "rule", "inet", "telvord_bench_nat", "postrouting", "oifname", "veth0",
          "masquerade"});
}

Masquerade::~Masquerade() {
    must({"nft", "delete", "table", "inet", "telvord_bench_nat"});
    must({"sysctl", "-qw", "net.ipv4.ip_forward=0", "net.ipv6.conf.all.forwarding=0"});
}

}  // namespace bench
