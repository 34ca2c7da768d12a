// telvord_leaked_packets: how many datagrams leave through the physical uplink past the daemon.
// Two tables in one run:
// - configurations: while a foreign default route comes and goes, with no daemon, with the route
//   watchers alone, and with the daemon as shipped (lockdown, forced mode with the tunnel up, and
//   killed with SIGKILL). The program adds the routes itself, as a DHCP client does (IPv4, proto
//   dhcp) and as a router advertisement does (IPv6, proto ra, via the link-local fe80::1), N
//   times per family.
// - leak classes: the ways out that are no default route, each made by the real software that
//   makes it on a user's network (routes pushed by dnsmasq to dhcpcd, a public prefix it leases
//   as the LAN, route information from radvd, a socket bound to the uplink, a container's
//   traffic behind NAT, a flushed ruleset, the exemptions for the LAN's DNS server, the
//   connection's DNS server, the VPN server, DHCP and link-local destinations), and the LAN's
//   probes of the tunnel's own address, once without a daemon (calibration) and once with it.
//
// Run as root. It stands in the namespace fixture of the benchmarks (fixture.h) with veth0 as
// the uplink; the far side of it, veth1, stands in a namespace of its own that plays the LAN
// (lan.h). A sender streams datagrams; a packet socket on veth1 counts those that arrive there,
// the tunnel device's own descriptor those the tunnel carries, and a listener on the host those
// of the LAN's probes that reach it. The daemon runs from the build tree with its files on tmpfs
// and an overlay of /etc, and is driven with telvorctl (host.h).

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/icmp6.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fixture.h"
#include "host.h"
#include "lan.h"
#include "netlink/bytes.h"
#include "routing/kernel.h"
#include "routing/kill_switch.h"
#include "routing/routing.h"
#include "routing/state.h"

namespace {

using namespace bench;
using Clock = std::chrono::steady_clock;
using netlink::Address;
using util::unique_fd;

constexpr std::uint16_t farPort = 40000;
constexpr std::uint16_t listenerPort = 40001;  // the host's, which the LAN's probes aim at
// NetworkManager's metric for wired DHCP routes; for router advertisements, one below the
// tunnel's 1024 (net.ipv6.conf.*.ra_defrtr_metric), so that the route would win over it.
constexpr std::uint32_t dhcpMetric = 100;
constexpr std::uint32_t raMetric = 512;
// The private LAN's DNS server, and for IPv6, whose LAN is its link-local range alone, the
// gateway's link-local address.
const Address lanDns4 = *Address::parse("10.8.1.53", AF_INET);
const Address lanDns6 = *Address::parse("fe80::1", AF_INET6);
// Behind the LAN's router: "far" answers no ARP for it, only a route through the router leads
// there.
const Address linkLocal4 = *Address::parse("169.254.7.7", AF_INET);

struct Options {
    int events = 100;    // per family and configuration
    int rate = 20000;    // datagrams a second, per family
    int holdMs = 20;     // how long a route nobody deletes stays
    int gapMs = 5;       // between events
    int classMs = 1000;  // how long a leak class streams once its way out stands
};

std::size_t familyIndex(int family) {
    return family == AF_INET6 ? 1 : 0;
}

// --- the far side and the tunnel -------------------------------------------------------------

struct Counts {
    std::array<std::atomic<long>, 2> leaked{};    // the stream's, arrived on veth1
    std::array<std::atomic<long>, 2> tunnel{};    // the stream's, read from tun0
    std::array<std::atomic<long>, 2> sent{};      // accepted by sendto
    std::array<std::atomic<long>, 2> refused{};   // refused by sendto (no route, or the guard)
    std::array<std::atomic<long>, 2> answered{};  // from the tunnel's address, arrived on veth1
    std::array<std::atomic<long>, 2> reached{};   // the stream's, read by the host's listener
};
Counts counts;

// The counts of a stretch of time, per family.
struct Tally {
    std::array<long, 2> leaked{}, tunnel{}, sent{}, refused{}, answered{}, reached{};

    static Tally now();
    Tally operator-(const Tally& earlier) const;
};

// Each count with its place in a tally.
using Count = std::array<std::atomic<long>, 2> Counts::*;
using Tallied = std::array<long, 2> Tally::*;
constexpr std::array<std::pair<Count, Tallied>, 6> counters{{
    {&Counts::leaked, &Tally::leaked},
    {&Counts::tunnel, &Tally::tunnel},
    {&Counts::sent, &Tally::sent},
    {&Counts::refused, &Tally::refused},
    {&Counts::answered, &Tally::answered},
    {&Counts::reached, &Tally::reached},
}};

Tally Tally::now() {
    Tally tally;
    for (const auto& [count, tallied] : counters) {
        for (std::size_t f = 0; f < 2; ++f)
            (tally.*tallied)[f] = (counts.*count)[f];
    }
    return tally;
}

Tally Tally::operator-(const Tally& earlier) const {
    Tally difference;
    for (const auto& [count, tallied] : counters) {
        for (std::size_t f = 0; f < 2; ++f)
            (difference.*tallied)[f] = (this->*tallied)[f] - (earlier.*tallied)[f];
    }
    return difference;
}

// The family of a packet (IP header first) from the tunnel's own address.
std::optional<int> fromTunnelAddress(const unsigned char* packet, std::size_t size) {
    if (size >= 20 && (packet[0] >> 4) == 4 &&
        std::memcmp(packet + 12, tunnelOwn4.bytes.data(), 4) == 0)
        return AF_INET;
    if (size >= 40 && (packet[0] >> 4) == 6 &&
        std::memcmp(packet + 8, tunnelOwn6.bytes.data(), 16) == 0)
        return AF_INET6;
    return std::nullopt;
}

// A UDP socket on the host for both families, bound to listenerPort.
unique_fd openListener() {
    unique_fd fd(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const int no = 0, bufferSize = 8 << 20;  // as the far side's
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(listenerPort);
    if (!fd || ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no) != 0 ||
        ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &bufferSize, sizeof bufferSize) != 0 ||
        ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        dieErrno("the host's listener");
    return fd;
}

// Counts the stream's packets that reach veth1, the tunnel or the host's listener, and the
// answers from the tunnel's address that reach veth1, until woken.
class Receiver {
  public:
    Receiver(unique_fd farSide, int tun, unique_fd listener)
        : farSide_(std::move(farSide)), tun_(tun), listener_(std::move(listener)) {
        wake_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        thread_ = std::thread([this] { loop(); });
    }
    ~Receiver() {
        const std::uint64_t one = 1;
        if (::write(wake_.get(), &one, sizeof one) != sizeof one) dieErrno("waking the receiver");
        thread_.join();
    }

  private:
    void loop() {
        for (;;) {
            std::array<pollfd, 4> waitFor{{{farSide_.get(), POLLIN, 0},
                                           {tun_, POLLIN, 0},
                                           {listener_.get(), POLLIN, 0},
                                           {wake_.get(), POLLIN, 0}}};
            if (::poll(waitFor.data(), waitFor.size(), -1) < 0 && errno != EINTR) return;
            if (waitFor[3].revents != 0) return;
            if (waitFor[0].revents != 0) readFarSide();
            if (waitFor[1].revents != 0) readTunnel();
            if (waitFor[2].revents != 0) readListener();
        }
    }
    void readFarSide() {
        sockaddr_ll from{};
        socklen_t size = sizeof from;
        const ssize_t n = ::recvfrom(farSide_.get(), packet_.data(), packet_.size(), 0,
                                     reinterpret_cast<sockaddr*>(&from), &size);
        if (n <= 0 || from.sll_pkttype == PACKET_OUTGOING) return;  // "far"'s own
        const auto length = static_cast<std::size_t>(n);
        if (const auto family = streamFamily(packet_.data(), length))
            counts.leaked[familyIndex(*family)].fetch_add(1);
        if (const auto family = fromTunnelAddress(packet_.data(), length))
            counts.answered[familyIndex(*family)].fetch_add(1);
    }
    void readTunnel() {
        const ssize_t n = ::read(tun_, packet_.data(), packet_.size());  // tun0 is no socket
        if (n <= 0) return;
        if (const auto family = streamFamily(packet_.data(), static_cast<std::size_t>(n)))
            counts.tunnel[familyIndex(*family)].fetch_add(1);
    }
    void readListener() {
        sockaddr_in6 from{};
        socklen_t size = sizeof from;
        const ssize_t n = ::recvfrom(listener_.get(), packet_.data(), packet_.size(), 0,
                                     reinterpret_cast<sockaddr*>(&from), &size);
        if (n < static_cast<ssize_t>(sizeof streamMarker) ||
            std::memcmp(packet_.data(), streamMarker, sizeof streamMarker) != 0)
            return;
        counts.reached[IN6_IS_ADDR_V4MAPPED(&from.sin6_addr) ? 0 : 1].fetch_add(1);
    }
    unique_fd farSide_;
    int tun_;
    unique_fd listener_;
    unique_fd wake_;
    std::array<unsigned char, 2048> packet_{};
    std::thread thread_;
};

// One destination of the stream, with the socket it is sent from and what it sends.
struct Target {
    unique_fd socket;
    sockaddr_storage to{};
    socklen_t size = 0;
    std::size_t family = 0;
    std::vector<unsigned char> payload;
};

// The socket address of `address` and `port` into `into`, and its size; a link-local address
// lies on veth0.
socklen_t socketAddress(const Address& address, std::uint16_t port, sockaddr_storage& into) {
    if (address.family == AF_INET) {
        sockaddr_in in{};
        in.sin_family = AF_INET;
        in.sin_port = htons(port);
        std::memcpy(&in.sin_addr, address.bytes.data(), 4);
        std::memcpy(&into, &in, sizeof in);
        return sizeof in;
    }
    sockaddr_in6 in{};
    in.sin6_family = AF_INET6;
    in.sin6_port = htons(port);
    std::memcpy(&in.sin6_addr, address.bytes.data(), 16);
    if (address.isLinkLocal6()) in.sin6_scope_id = vethIndex;
    std::memcpy(&into, &in, sizeof in);
    return sizeof in;
}

// A socket of the calling thread's network namespace for `to`.
Target openTarget(const Address& to, std::uint16_t port, int type, int protocol) {
    Target made;
    made.family = familyIndex(to.family);
    made.socket.reset(::socket(to.family, type | SOCK_CLOEXEC | SOCK_NONBLOCK, protocol));
    if (!made.socket) dieErrno("socket");
    // Room for what is held back after sendto: by a neighbour that never answers (up to
    // unres_qlen_bytes, until it fails seconds later, though a route that leads elsewhere stands
    // by then), and by the tunnel while its reader has lost its core. Else sendto would fail
    // although nothing refused the datagram.
    const int bufferSize = 4 << 20;
    if (::setsockopt(made.socket.get(), SOL_SOCKET, SO_SNDBUFFORCE, &bufferSize,
                     sizeof bufferSize) != 0)
        dieErrno("SO_SNDBUFFORCE");
    made.size = socketAddress(to, port, made.to);
    return made;
}

// UDP datagrams that carry the marker, to `port`, from a socket bound to `device` and to
// `fromPort` if named (shared: dhcpcd binds the DHCP client's port too).
Target target(const Address& to, std::uint16_t port, const char* device = nullptr,
              std::uint16_t fromPort = 0) {
    Target made = openTarget(to, port, SOCK_DGRAM, 0);
    const int fd = made.socket.get();
    if (device != nullptr && ::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, device,
                                          static_cast<socklen_t>(std::strlen(device))) != 0)
        dieErrno("SO_BINDTODEVICE");
    if (fromPort != 0) {
        const int yes = 1;
        Address any;
        any.family = to.family;
        sockaddr_storage from{};
        const socklen_t size = socketAddress(any, fromPort, from);
        if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 ||
            ::bind(fd, reinterpret_cast<const sockaddr*>(&from), size) != 0)
            dieErrno("binding port " + std::to_string(fromPort));
    }
    made.payload.assign(streamMarker, streamMarker + sizeof streamMarker);
    return made;
}

// ICMP echo requests that carry the marker, from a raw socket. The kernel sums ICMPv6 itself.
Target echoTarget(const Address& to) {
    const bool v6 = to.family == AF_INET6;
    Target made = openTarget(to, 0, SOCK_RAW, v6 ? int{IPPROTO_ICMPV6} : int{IPPROTO_ICMP});
    std::vector<unsigned char>& echo = made.payload;
    echo.assign(sizeof(icmphdr), 0);
    echo[0] = v6 ? ICMP6_ECHO_REQUEST : ICMP_ECHO;
    echo.insert(echo.end(), streamMarker, streamMarker + sizeof streamMarker);
    if (!v6) {
        std::uint32_t sum = 0;
        for (std::size_t i = 0; i + 1 < echo.size(); i += 2)
            sum += static_cast<std::uint32_t>(echo[i] << 8 | echo[i + 1]);
        if (echo.size() % 2 != 0) sum += static_cast<std::uint32_t>(echo.back() << 8);
        while (sum >> 16 != 0)
            sum = (sum & 0xffff) + (sum >> 16);
        echo[2] = static_cast<unsigned char>(~sum >> 8);
        echo[3] = static_cast<unsigned char>(~sum);
    }
    return made;
}

// Sends `rate` datagrams a second to each target, evenly spaced, until it goes out of scope.
class Sender {
  public:
    Sender(int rate, std::vector<Target> targets) : rate_(rate), targets_(std::move(targets)) {
        thread_ = std::thread([this] { loop(); });
    }
    ~Sender() {
        running_ = false;
        thread_.join();
    }

  private:
    void loop() {
        const auto start = Clock::now();
        long done = 0;
        timespec next{};
        ::clock_gettime(CLOCK_MONOTONIC, &next);
        while (running_) {
            const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
            // Behind after a slow wake-up: catch up, but never in a burst of more than 4.
            for (int burst = 0; done < static_cast<long>(elapsed * rate_) && burst < 4; ++burst) {
                for (const Target& target : targets_)
                    send(target);
                ++done;
            }
            next.tv_nsec += 1'000'000'000L / rate_;
            if (next.tv_nsec >= 1'000'000'000L) {
                next.tv_nsec -= 1'000'000'000L;
                ++next.tv_sec;
            }
            ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
        }
    }
    static void send(const Target& target) {
        const bool ok =
            ::sendto(target.socket.get(), target.payload.data(), target.payload.size(), 0,
                     reinterpret_cast<const sockaddr*>(&target.to), target.size) >= 0;
        (ok ? counts.sent : counts.refused)[target.family].fetch_add(1);
    }
    int rate_;
    std::vector<Target> targets_;
    std::atomic<bool> running_ = true;
    std::thread thread_;
};

std::vector<Target> toTheInternet() {
    std::vector<Target> targets;
    targets.push_back(target(far4, farPort));
    targets.push_back(target(far6, farPort));
    return targets;
}

// --- configurations: foreign default routes ----------------------------------------------------

struct Configuration {
    std::string name;
    std::function<void()> begin, end;
};

void inProcessWatchers(bool tunnelUp) {
    removeMainDefaults();
    routing::InitRoutingVariablesOs();
    if (tunnelUp) {
        must({"ip", "route", "add", "default", "via", "10.8.0.1", "dev", "tun0"});
        must({"ip", "-6", "route", "add", "default", "via", "fd42::1", "dev", "tun0"});
        routing::setTunnelAddress(AF_INET, "10.8.0.1");
        routing::setTunnelAddress(AF_INET6, "fd42::1");
    }
    routing::StartRouteWatchThread();
    waitForWatchers();
}

void stopInProcessWatchers() {
    routing::StopRouteWatchThread();
    routing::InitRoutingVariablesOs();
    restorePhysicalDefaults();
}

std::vector<Configuration> configurations() {
    return {
        {"no daemon (calibration)", removeMainDefaults, restorePhysicalDefaults},
        {"watchers alone, lockdown", [] { inProcessWatchers(false); }, stopInProcessWatchers},
        {"watchers alone, forced, tunnel up", [] { inProcessWatchers(true); },
         stopInProcessWatchers},
        {"daemon, lockdown", [] { enterMode(Mode::lockdown); }, [] {}},
        {"daemon, lockdown, after SIGKILL", [] { stopDaemon(SIGKILL); }, leaveMode},
        {"daemon, forced, tunnel up", [] { enterMode(Mode::forcedConnected); }, leaveMode},
    };
}

// Waits until `observer` reports the removal of the main-table default route through
// `gateway`, or until `deadline`.
bool removedBefore(int observer, const Address& gateway, Clock::time_point deadline) {
    std::array<std::byte, 8192> buffer{};
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() < 0) return false;
        pollfd waitFor{observer, POLLIN, 0};
        if (::poll(&waitFor, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
        const ssize_t n = ::recv(observer, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n <= 0) continue;
        bool removed = false;
        netlink::forEachMessage(
            std::span(buffer).first(static_cast<std::size_t>(n)), [&](auto type, auto message) {
                const auto route = parseRoute(type, message);
                removed |= route && route->type == RTM_DELROUTE && route->dstLength == 0 &&
                           route->table == RT_TABLE_MAIN && route->gateway == gateway;
                return true;
            });
        if (removed) return true;
    }
}

struct Result {
    std::string name;
    Tally tally;
    std::array<int, 2> removedByOthers{};
};

// One foreign default route: added, then left until somebody removes it or the hold ends.
bool event(int observer, int family, const Options& options) {
    const bool ipv6 = family == AF_INET6;
    const Address& gateway = ipv6 ? uplink6 : uplink4;
    const unsigned char protocol = ipv6 ? RTPROT_RA : RTPROT_DHCP;
    const std::uint32_t metric = ipv6 ? raMetric : dhcpMetric;
    requireFresh();
    if (changeDefaultRoute(control(), true, gateway, metric, 0, protocol) != 0)
        die("adding the foreign default route failed");
    const bool removed =
        removedBefore(observer, gateway, Clock::now() + std::chrono::milliseconds(options.holdMs));
    if (!removed) changeDefaultRoute(control(), false, gateway, metric);
    std::this_thread::sleep_for(std::chrono::milliseconds(options.gapMs));
    return removed;
}

Result measure(const Configuration& configuration, const Options& options) {
    std::fprintf(stderr, "%s...\n", configuration.name.c_str());
    configuration.begin();
    const unique_fd observer = openRtnetlink(RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE);
    acceptOnlyRemovals(observer.get());
    const Tally before = Tally::now();
    Result result{configuration.name, {}, {}};
    {
        const Sender sender(options.rate, toTheInternet());
        for (int i = 0; i < options.events; ++i) {
            for (const int family : {AF_INET, AF_INET6})
                result.removedByOthers[familyIndex(family)] +=
                    event(observer.get(), family, options);
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the last packets land
    result.tally = Tally::now() - before;
    configuration.end();
    return result;
}

// --- leak classes: ways out that are no default route ------------------------------------------

// Where a class's stream is sent from.
enum class From {
    host,           // the host's own sockets
    boundToUplink,  // the host's, bound to veth0 (SO_BINDTODEVICE)
    guest,          // the guest namespace's, forwarded and masqueraded by the host
    lan,            // "far"'s: the LAN probes the tunnel's own addresses
};

// What the stream's packets are.
enum class Packets {
    udp,   // UDP datagrams to the class's port
    dhcp,  // UDP datagrams from a DHCP client's port to a server's: 68 to 67, 546 to 547
    echo,  // ICMP echo requests
};

constexpr unsigned ipv4 = 1, ipv6 = 2;

struct LeakClass {
    std::string name;
    Mode mode;  // the daemon's, in the daemon's run
    unsigned families = ipv4;
    From from = From::host;
    Address to4 = far4, to6 = far6;
    Packets packets = Packets::udp;
    std::uint16_t port = farPort;
    std::optional<Lease> lease{};   // by the LAN's DHCP server
    bool routeInformation = false;  // by the LAN's router advertisements
    // The host route to the destination through the gateway that the daemon sets in its mode
    // (the VPN server's, the connection's DNS server's); without it the program sets it.
    bool hostRoute = false;
    bool flushRuleset = false;  // `nft flush ruleset` as the stream starts
    bool replaceDns = false;    // `replacedns:` while connected
};

std::vector<LeakClass> leakClasses() {
    const Lease halves{.routes = {"0.0.0.0/1", "128.0.0.0/1"}};
    const Lease internet{.routes = {"203.0.113.0/24"}};
    const Lease publicPrefix{.address = "203.0.113.77"};
    const Lease linkLocal{.routes = {"169.254.7.7/32"}};
    return {
        {.name = "pushed /1 routes (DHCP), lockdown", .mode = Mode::lockdown, .lease = halves},
        {.name = "pushed /1 routes (DHCP), lockdown, connected",
         .mode = Mode::lockdownConnected,
         .lease = halves},
        {.name = "pushed /24 (DHCP), lockdown, connected",
         .mode = Mode::lockdownConnected,
         .lease = internet},
        {.name = "pushed /24 (DHCP), forced, connected",
         .mode = Mode::forcedConnected,
         .lease = internet},
        {.name = "public prefix as LAN (DHCP), lockdown",
         .mode = Mode::lockdown,
         .lease = publicPrefix},
        {.name = "public prefix as LAN (DHCP), connected",
         .mode = Mode::lockdownConnected,
         .lease = publicPrefix},
        {.name = "route information (RA), lockdown",
         .mode = Mode::lockdown,
         .families = ipv6,
         .routeInformation = true},
        {.name = "socket bound to the uplink, lockdown",
         .mode = Mode::lockdown,
         .families = ipv4 | ipv6,
         .from = From::boundToUplink},
        {.name = "link-local via pushed route, bound, lockdown",
         .mode = Mode::lockdown,
         .from = From::boundToUplink,
         .to4 = linkLocal4,
         .lease = linkLocal},
        {.name = "forwarded behind NAT, /1 routes, lockdown",
         .mode = Mode::lockdown,
         .from = From::guest,
         .lease = halves},
        {.name = "DHCP ports behind NAT, pushed routes, lockdown",
         .mode = Mode::lockdown,
         .families = ipv4 | ipv6,
         .from = From::guest,
         .packets = Packets::dhcp,
         .lease = halves,
         .routeInformation = true},
        {.name = "DHCP ports from host, pushed routes, lockdown",
         .mode = Mode::lockdown,
         .families = ipv4 | ipv6,
         .packets = Packets::dhcp,
         .lease = halves,
         .routeInformation = true},
        {.name = "nft flush ruleset, /1 routes, lockdown",
         .mode = Mode::lockdown,
         .lease = halves,
         .flushRuleset = true},
        {.name = "DNS to the LAN, connected, replacedns",
         .mode = Mode::lockdownConnected,
         .families = ipv4 | ipv6,
         .to4 = lanDns4,
         .to6 = lanDns6,
         .port = 53,
         .replaceDns = true},
        {.name = "dnsaddress, not port 53, connecting",
         .mode = Mode::lockdownConnecting,
         .to4 = dnsServer4,
         .hostRoute = true},
        {.name = "server address, other program, connected",
         .mode = Mode::lockdownConnected,
         .to4 = server4,
         .hostRoute = true},
        {.name = "probes of the tunnel address, UDP, connected",
         .mode = Mode::lockdownConnected,
         .families = ipv4 | ipv6,
         .from = From::lan,
         .to4 = tunnelOwn4,
         .to6 = tunnelOwn6,
         .port = listenerPort},
        {.name = "probes of the tunnel address, ping, connected",
         .mode = Mode::lockdownConnected,
         .families = ipv4 | ipv6,
         .from = From::lan,
         .to4 = tunnelOwn4,
         .to6 = tunnelOwn6,
         .packets = Packets::echo},
    };
}

std::vector<Address> destinations(const LeakClass& leak) {
    std::vector<Address> to;
    if (leak.families & ipv4) to.push_back(leak.to4);
    if (leak.families & ipv6) to.push_back(leak.to6);
    return to;
}

std::vector<Target> targets(const LeakClass& leak, const Lan& lan) {
    std::optional<Inside> inside;  // so that the sockets are the guest's or the LAN's
    if (leak.from == From::guest) inside.emplace(lan.guest());
    if (leak.from == From::lan) inside.emplace(lan.far());
    const char* device = leak.from == From::boundToUplink ? "veth0" : nullptr;
    std::vector<Target> made;
    for (const Address& to : destinations(leak)) {
        const bool v6 = to.family == AF_INET6;
        switch (leak.packets) {
            case Packets::udp:
                made.push_back(target(to, leak.port, device));
                break;
            case Packets::dhcp:
                made.push_back(target(to, v6 ? 547 : 67, device, v6 ? 546 : 68));
                break;
            case Packets::echo:
                made.push_back(echoTarget(to));
                break;
        }
    }
    return made;
}

// Host routes through the uplink's gateways, as the daemon sets them for the VPN server and the
// DNS servers, while this lives.
class HostRoutes {
  public:
    explicit HostRoutes(std::vector<Address> to) : to_(std::move(to)) {
        for (const Address& address : to_)
            must(command("add", address));
    }
    HostRoutes(const HostRoutes&) = delete;
    HostRoutes& operator=(const HostRoutes&) = delete;
    ~HostRoutes() {
        for (const Address& address : to_)
            must(command("del", address));
    }

  private:
    static std::vector<std::string> command(const char* change, const Address& to) {
        const bool v6 = to.family == AF_INET6;
        return {"ip",
                v6 ? "-6" : "-4",
                "route",
                change,
                to.text(),
                "via",
                (v6 ? uplink6 : uplink4).text(),
                "dev",
                "veth0"};
    }
    std::vector<Address> to_;
};

// The way out of a class, while this lives: what the LAN pushes, advertises or leases, and
// without the daemon the host routes the daemon would set.
struct Exposure {
    std::optional<HostRoutes> hostRoutes;
    std::optional<DhcpLease> lease;
    std::optional<AdvertisedRoute> advertised;

    Exposure(const LeakClass& leak, const Lan& lan, bool withDaemon) {
        if (leak.flushRuleset) must({"nft", "flush", "ruleset"});
        if (leak.hostRoute && !withDaemon) hostRoutes.emplace(destinations(leak));
        if (leak.lease) lease.emplace(lan, *leak.lease);
        if (leak.routeInformation) advertised.emplace(lan);
    }
};

// Streams from before the way out is made until `classMs` after it stands. Without the daemon
// the uplink has no default route, as in lockdown.
Tally runClass(const LeakClass& leak, const Lan& lan, bool withDaemon, const Options& options) {
    std::fprintf(stderr, "%s, %s...\n", leak.name.c_str(), withDaemon ? "daemon" : "no daemon");
    if (withDaemon) {
        enterMode(leak.mode, leak.replaceDns);
    } else {
        removeMainDefaults();
    }
    const Tally before = Tally::now();
    {
        std::optional<Masquerade> masquerade;
        if (leak.from == From::guest) masquerade.emplace();
        std::optional<Sender> sender(std::in_place, options.rate, targets(leak, lan));
        const Exposure exposure(leak, lan, withDaemon);
        std::this_thread::sleep_for(std::chrono::milliseconds(options.classMs));
        sender.reset();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the last packets land
    }
    const Tally tally = Tally::now() - before;
    if (withDaemon) {
        leaveMode();
    } else {
        restorePhysicalDefaults();
    }
    return tally;
}

// --- command line and report -------------------------------------------------------------------

[[noreturn]] void usage() {
    std::fprintf(
        stderr,
        "usage: telvord_leaked_packets [--events N] [--rate N] [--hold-ms N] [--gap-ms N]\n"
        "                              [--class-ms N]\n"
        "  --events N    foreign default routes per family and configuration (100)\n"
        "  --rate N      datagrams a second per family (20000)\n"
        "  --hold-ms N   how long a route that nobody removes stays (20)\n"
        "  --gap-ms N    pause after each event (5)\n"
        "  --class-ms N  how long a leak class streams once its way out stands (1000)\n");
    std::exit(2);
}

Options parseOptions(int argc, char** argv) {
    Options options;
    parseNumberOptions(argc, argv,
                       {{"--events", &options.events},
                        {"--rate", &options.rate},
                        {"--hold-ms", &options.holdMs},
                        {"--gap-ms", &options.gapMs},
                        {"--class-ms", &options.classMs}},
                       usage);
    options.rate = std::min(options.rate, 100000);
    return options;
}

const char* familyName(std::size_t f) {
    return f == 0 ? "IPv4" : "IPv6";
}

void reportConfigurations(const std::vector<Result>& results, const Options& options) {
    std::printf("%-34s %-4s %8s %8s %7s %8s %9s\n", "configuration", "fam", "sent", "refused",
                "leaked", "tunnel", "removed");
    for (const Result& r : results) {
        for (std::size_t f = 0; f < 2; ++f) {
            const Tally& t = r.tally;
            std::printf("%-34s %-4s %8ld %8ld %7ld %8ld %5d/%-3d\n", r.name.c_str(), familyName(f),
                        t.sent[f], t.refused[f], t.leaked[f], t.tunnel[f], r.removedByOthers[f],
                        options.events);
        }
    }
}

struct ClassResult {
    const LeakClass* leak;
    Tally calibration, daemon;
};

// What crossed the uplink that should not have: the stream's datagrams that arrived behind it,
// or of the LAN's probes of the tunnel's address, the answers that came back to the LAN and the
// probes that reached the host's listener.
long leaked(const LeakClass& leak, const Tally& tally, std::size_t f) {
    return leak.from == From::lan ? tally.answered[f] + tally.reached[f] : tally.leaked[f];
}

void reportClasses(const std::vector<ClassResult>& results) {
    std::printf("%-48s %-4s | %-16s | %s\n", "", "", "no daemon", "daemon");
    std::printf("%-48s %-4s | %7s %8s | %7s %8s %7s %7s\n", "leak class", "fam", "sent", "leaked",
                "sent", "refused", "leaked", "tunnel");
    for (const ClassResult& r : results) {
        for (std::size_t f = 0; f < 2; ++f) {
            if ((r.leak->families & (f == 0 ? ipv4 : ipv6)) == 0) continue;
            std::printf("%-48s %-4s | %7ld %8ld | %7ld %8ld %7ld %7ld\n", r.leak->name.c_str(),
                        familyName(f), r.calibration.sent[f], leaked(*r.leak, r.calibration, f),
                        r.daemon.sent[f], r.daemon.refused[f], leaked(*r.leak, r.daemon, f),
                        r.daemon.tunnel[f]);
        }
    }
    std::printf("\n%-48s %-4s | %-16s | %s\n", "of the probes' leaked", "fam", "no daemon",
                "daemon");
    std::printf("%-48s %-4s | %7s %8s | %7s %8s\n", "", "", "answers", "listener", "answers",
                "listener");
    for (const ClassResult& r : results) {
        for (std::size_t f = 0; f < 2 && r.leak->from == From::lan; ++f) {
            std::printf("%-48s %-4s | %7ld %8ld | %7ld %8ld\n", r.leak->name.c_str(), familyName(f),
                        r.calibration.answered[f], r.calibration.reached[f], r.daemon.answered[f],
                        r.daemon.reached[f]);
        }
    }
}

void report(const std::vector<Result>& configurations, const std::vector<ClassResult>& classes,
            const Options& options) {
    const std::string date = utcNow();
    std::printf(
        "telvord leaked packets: %s, build %s, %d events per family, %d datagrams/s per "
        "family, hold %d ms, gap %d ms, leak classes %d ms\n\n",
        date.c_str(), TELVORD_BENCH_BUILD_TYPE, options.events, options.rate, options.holdMs,
        options.gapMs, options.classMs);
    reportConfigurations(configurations, options);
    std::printf("\n");
    reportClasses(classes);
    std::printf(
        "\nsent: accepted by sendto; refused: sendto failed (no route, or the guard's answer); "
        "leaked: arrived\nbehind the uplink (probes: answers back on the LAN side and probes "
        "at the host's listener);\ntunnel: read from tun0; removed: events whose route "
        "somebody else removed within the hold\n");
}

}  // namespace

int main(int argc, char** argv) {
    programName = "telvord_leaked_packets";
    const Options options = parseOptions(argc, argv);
    const unique_fd tun = setUpHost();
    // As long a queue as the senders' buffers: a reader that lost its core drops nothing.
    must({"ip", "link", "set", "tun0", "txqueuelen", "10000"});
    const Lan lan;

    const Receiver receiver(lan.openFarSide(), tun.get(), openListener());
    std::vector<Result> results;
    for (const Configuration& configuration : configurations())
        results.push_back(measure(configuration, options));
    const std::vector<LeakClass> classes = leakClasses();
    std::vector<ClassResult> classResults;
    for (const LeakClass& leak : classes)
        classResults.push_back(
            {&leak, runClass(leak, lan, false, options), runClass(leak, lan, true, options)});
    requireFresh();
    report(results, classResults, options);
    return 0;
}
