// telvord_leaked_packets: how many datagrams leave through the physical uplink while a foreign
// default route comes and goes, with no daemon, with the route watchers alone, and with the
// daemon as shipped (lockdown, forced mode with the tunnel up, and killed with SIGKILL).
//
// Run as root. It stands in the namespace fixture of the benchmarks (fixture.h): fresh network
// and mount namespaces, veth0 as the uplink and veth1 as the far side of it. A sender streams
// UDP datagrams to 203.0.113.1 and 2001:db8:ffff::1, addresses behind the uplink; a packet
// socket on veth1 counts those that arrive, and the tunnel device's own descriptor counts
// those the tunnel carries. Meanwhile the program adds a default route to the main table as a
// DHCP client does (IPv4, proto dhcp) and as a router advertisement does (IPv6, proto ra, via
// the link-local fe80::1), N times per family. The daemon runs from the build tree with its
// files on tmpfs and an overlay of /etc, and is driven with telvorctl.

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <netinet/ip.h>
#include <netinet/ip6.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fixture.h"
#include "netlink/bytes.h"
#include "routing/kernel.h"
#include "routing/kill_switch.h"
#include "routing/routing.h"
#include "routing/state.h"

extern char** environ;

namespace {

using namespace bench;
using Clock = std::chrono::steady_clock;
using netlink::Address;
using util::unique_fd;

constexpr std::uint16_t farPort = 40000;
// NetworkManager's metric for wired DHCP routes; for router advertisements, one below the
// tunnel's 1024 (net.ipv6.conf.*.ra_defrtr_metric), so that the route would win over it.
constexpr std::uint32_t dhcpMetric = 100;
constexpr std::uint32_t raMetric = 512;
const Address far4 = *Address::parse("203.0.113.1", AF_INET);
const Address far6 = *Address::parse("2001:db8:ffff::1", AF_INET6);
const Address uplink4 = *Address::parse("192.0.2.1", AF_INET);
const Address uplink6 = *Address::parse("fe80::1", AF_INET6);
const Address tunnel4 = *Address::parse("10.8.0.1", AF_INET);
const Address tunnel6 = *Address::parse("fd42::1", AF_INET6);

struct Options {
    int events = 100;  // per family and configuration
    int rate = 20000;  // datagrams a second, per family
    int holdMs = 20;   // how long a route nobody deletes stays
    int gapMs = 5;     // between events
};

int familyIndex(int family) {
    return family == AF_INET6 ? 1 : 0;
}

// --- the far side and the tunnel -------------------------------------------------------------

struct Counts {
    std::array<std::atomic<long>, 2> leaked{};   // arrived on veth1
    std::array<std::atomic<long>, 2> tunnel{};   // read from tun0
    std::array<std::atomic<long>, 2> sent{};     // accepted by sendto
    std::array<std::atomic<long>, 2> refused{};  // refused by sendto (no route)
};
Counts counts;

// Whether a packet (IP header first) is one of the sender's, and of which family.
std::optional<int> streamFamily(const unsigned char* packet, std::size_t size) {
    if (size >= sizeof(iphdr) && (packet[0] >> 4) == 4) {
        iphdr header{};
        std::memcpy(&header, packet, sizeof header);
        if (header.protocol == IPPROTO_UDP && std::memcmp(&header.daddr, far4.bytes.data(), 4) == 0)
            return AF_INET;
    }
    if (size >= sizeof(ip6_hdr) && (packet[0] >> 4) == 6) {
        ip6_hdr header{};
        std::memcpy(&header, packet, sizeof header);
        if (header.ip6_nxt == IPPROTO_UDP &&
            std::memcmp(&header.ip6_dst, far6.bytes.data(), 16) == 0)
            return AF_INET6;
    }
    return std::nullopt;
}

// Counts the stream's packets that reach veth1 or the tunnel, until woken.
class Receiver {
  public:
    Receiver(int tun) : tun_(tun) {
        farSide_.reset(
            ::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, htons(ETH_P_ALL)));
        if (!farSide_) dieErrno("packet socket");
        sockaddr_ll address{};
        address.sll_family = AF_PACKET;
        address.sll_protocol = htons(ETH_P_ALL);
        address.sll_ifindex = static_cast<int>(::if_nametoindex("veth1"));
        if (::bind(farSide_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address))
            dieErrno("bind veth1");
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
        std::array<unsigned char, 2048> packet{};
        for (;;) {
            std::array<pollfd, 3> waitFor{
                {{farSide_.get(), POLLIN, 0}, {tun_, POLLIN, 0}, {wake_.get(), POLLIN, 0}}};
            if (::poll(waitFor.data(), waitFor.size(), -1) < 0 && errno != EINTR) return;
            if (waitFor[2].revents != 0) return;
            for (int source = 0; source < 2; ++source) {
                if (waitFor[static_cast<std::size_t>(source)].revents == 0) continue;
                const int fd = source == 0 ? farSide_.get() : tun_;
                const ssize_t n = ::read(fd, packet.data(), packet.size());  // tun0 is no socket
                if (n <= 0) continue;
                if (const auto family = streamFamily(packet.data(), static_cast<std::size_t>(n))) {
                    auto& into = source == 0 ? counts.leaked : counts.tunnel;
                    into[static_cast<std::size_t>(familyIndex(*family))].fetch_add(1);
                }
            }
        }
    }
    int tun_;
    unique_fd farSide_, wake_;
    std::thread thread_;
};

// Sends `rate` datagrams a second per family, evenly spaced, until stopped.
class Sender {
  public:
    explicit Sender(int rate) : rate_(rate) {
        thread_ = std::thread([this] { loop(); });
    }
    ~Sender() {
        running_ = false;
        thread_.join();
    }

  private:
    void loop() {
        const unique_fd socket4(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        const unique_fd socket6(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        sockaddr_in to4{};
        to4.sin_family = AF_INET;
        to4.sin_port = htons(farPort);
        std::memcpy(&to4.sin_addr, far4.bytes.data(), 4);
        sockaddr_in6 to6{};
        to6.sin6_family = AF_INET6;
        to6.sin6_port = htons(farPort);
        std::memcpy(&to6.sin6_addr, far6.bytes.data(), 16);
        const auto start = Clock::now();
        long done = 0;
        timespec next{};
        ::clock_gettime(CLOCK_MONOTONIC, &next);
        while (running_) {
            const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
            // Behind after a slow wake-up: catch up, but never in a burst of more than 4.
            for (int burst = 0; done < static_cast<long>(elapsed * rate_) && burst < 4; ++burst) {
                send(socket4.get(), &to4, sizeof to4, 0);
                send(socket6.get(), &to6, sizeof to6, 1);
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
    static void send(int fd, const void* to, socklen_t size, std::size_t family) {
        const char payload[] = "telvord";
        const bool ok =
            ::sendto(fd, payload, sizeof payload, 0, static_cast<const sockaddr*>(to), size) >= 0;
        (ok ? counts.sent : counts.refused)[family].fetch_add(1);
    }
    int rate_;
    std::atomic<bool> running_ = true;
    std::thread thread_;
};

// --- the host: uplink, tunnel, files of the daemon -------------------------------------------

std::string hardwareAddress(const char* interface) {
    const unique_fd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq request{};
    std::strncpy(request.ifr_name, interface, IFNAMSIZ - 1);
    if (::ioctl(socket.get(), SIOCGIFHWADDR, &request) != 0) dieErrno("SIOCGIFHWADDR");
    const auto* bytes = reinterpret_cast<const unsigned char*>(request.ifr_hwaddr.sa_data);
    std::array<char, 18> text{};
    std::snprintf(text.data(), text.size(), "%02x:%02x:%02x:%02x:%02x:%02x", bytes[0], bytes[1],
                  bytes[2], bytes[3], bytes[4], bytes[5]);
    return text.data();
}

// The tunnel device, held open so that its carrier is up and its packets can be counted.
unique_fd openTunnel() {
    unique_fd fd(::open("/dev/net/tun", O_RDWR | O_CLOEXEC | O_NONBLOCK));
    if (!fd) dieErrno("/dev/net/tun");
    ifreq request{};
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::strncpy(request.ifr_name, "tun0", IFNAMSIZ - 1);
    if (::ioctl(fd.get(), TUNSETIFF, &request) != 0) dieErrno("TUNSETIFF");
    madeInterfaces.insert("tun0");
    must({"ip", "addr", "add", "10.8.0.2/24", "dev", "tun0"});
    must({"ip", "-6", "addr", "add", "fd42::2/64", "dev", "tun0", "nodad"});
    must({"ip", "link", "set", "tun0", "up"});
    return fd;
}

void setUpUplink() {
    // Nobody answers ARP or ND on veth1: the gateways' addresses are pinned to it.
    const std::string far = hardwareAddress("veth1");
    must(
        {"ip", "neigh", "replace", "192.0.2.1", "lladdr", far, "dev", "veth0", "nud", "permanent"});
    must({"ip", "-6", "neigh", "replace", "fe80::1", "lladdr", far, "dev", "veth0", "nud",
          "permanent"});
}

unique_fd control;  // rtnetlink requests of the program's own

void removeMainDefaults() {
    requireFresh();
    for (const int family : {AF_INET, AF_INET6}) {
        for (const routing::RouteInfo& route : mainDefaultRoutes(family)) {
            if (route.gateway)
                changeDefaultRoute(control.get(), false, *route.gateway, route.priority);
        }
    }
    spawnAndWait({"sh", "-c", "ip -6 route del blackhole default 2>/dev/null"});
}

// The uplink's own default routes, as the host had them before any configuration.
void restorePhysicalDefaults() {
    removeMainDefaults();
    changeDefaultRoute(control.get(), true, uplink4, 0);
    changeDefaultRoute(control.get(), true, uplink6, 1024);
}

void mountTmpfs(const char* target) {
    if (::mount("tmpfs", target, "tmpfs", 0, "mode=0755") != 0)
        dieErrno(std::string("mount ") + target);
}

// The daemon's files on the program's own mounts: /etc as an overlay, tmpfs below /var and /run.
void prepareDaemonFiles() {
    const std::string upper = std::string(scratch) + "/etc-upper";
    const std::string work = std::string(scratch) + "/etc-work";
    if (::mkdir(upper.c_str(), 0755) != 0 || ::mkdir(work.c_str(), 0755) != 0) dieErrno("mkdir");
    const std::string options = "lowerdir=/etc,upperdir=" + upper + ",workdir=" + work;
    if (::mount("overlay", "/etc", "overlay", 0, options.c_str()) != 0) dieErrno("overlay /etc");
    for (const char* target : {"/var/tmp", "/var/log", "/run"})
        mountTmpfs(target);
}

// --- the daemon --------------------------------------------------------------------------------

pid_t daemonPid = -1;

void writeConfiguration(const std::string& text) {
    std::ofstream("/etc/telvor.clientd.conf", std::ios::trunc) << text;
}

void telvorctl(std::vector<std::string> words) {
    words.insert(words.begin(), TELVORCTL_BINARY);
    if (spawnAndWait(words) != 0) die("telvorctl " + words[1] + " failed");
}

// Whether a route netlink socket of this namespace listens to `group`.
bool routeGroupWatched(unsigned group) {
    std::ifstream table("/proc/self/net/netlink");
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string socket;
        int protocol = -1;
        long long port = 0;
        unsigned groups = 0;
        fields >> socket >> protocol >> port >> std::hex >> groups;
        if (protocol == NETLINK_ROUTE && (groups & group) != 0) return true;
    }
    return false;
}

void waitFor(const std::function<bool()>& condition, const char* what) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (Clock::now() > deadline) die(std::string("timed out waiting for ") + what);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void waitForWatchers() {
    waitFor(
        [] { return routeGroupWatched(RTMGRP_IPV4_ROUTE) && routeGroupWatched(RTMGRP_IPV6_ROUTE); },
        "the route watchers");
}

void startDaemon(bool lockdown) {
    requireFresh();
    writeConfiguration(std::string("lockdown=") + (lockdown ? "true" : "false") + "\n");
    ::unlink("/var/tmp/telvor.clientd.port");
    const char* argv[] = {"telvord", nullptr};
    if (::posix_spawn(&daemonPid, TELVORD_BINARY, nullptr, nullptr, const_cast<char**>(argv),
                      environ) != 0) {
        die("cannot start telvord");
    }
    waitFor([] { return ::access("/var/tmp/telvor.clientd.port", F_OK) == 0; }, "the port file");
}

void stopDaemon(int signal) {
    if (daemonPid <= 0) return;
    ::kill(daemonPid, signal);
    ::waitpid(daemonPid, nullptr, 0);
    daemonPid = -1;
}

bool killSwitchHolds() {
    return routing::killSwitchInPlace(AF_INET).value_or(false) &&
           routing::killSwitchInPlace(AF_INET6).value_or(false);
}

// --- configurations -----------------------------------------------------------------------------

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
        {"daemon, lockdown",
         [] {
             startDaemon(true);
             waitFor(killSwitchHolds, "the kill switch");
             waitForWatchers();
         },
         [] {}},
        {"daemon, lockdown, after SIGKILL", [] { stopDaemon(SIGKILL); },
         [] {
             startDaemon(false);  // removes what the killed one left
             stopDaemon(SIGTERM);
             restorePhysicalDefaults();
         }},
        {"daemon, forced, tunnel up",
         [] {
             startDaemon(false);
             telvorctl({"enableforced", "prepareforconnect", "serveraddress", "198.51.100.7",
                        "connectionsuccesful", "connectionsuccesful4", "10.8.0.1",
                        "connectionsuccesful6", "fd42::1"});
             waitFor(killSwitchHolds, "the kill switch");
             waitForWatchers();
         },
         [] {
             telvorctl({"connectionclosed"});
             stopDaemon(SIGTERM);
             restorePhysicalDefaults();
         }},
    };
}

// --- events --------------------------------------------------------------------------------------

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
    std::array<long, 2> leaked{}, tunnel{}, sent{}, refused{};
    std::array<int, 2> removedByOthers{};
};

// One foreign default route: added, then left until somebody removes it or the hold ends.
bool event(int observer, int family, const Options& options) {
    const bool ipv6 = family == AF_INET6;
    const Address& gateway = ipv6 ? uplink6 : uplink4;
    const unsigned char protocol = ipv6 ? RTPROT_RA : RTPROT_DHCP;
    const std::uint32_t metric = ipv6 ? raMetric : dhcpMetric;
    requireFresh();
    if (changeDefaultRoute(control.get(), true, gateway, metric, 0, protocol) != 0)
        die("adding the foreign default route failed");
    const bool removed =
        removedBefore(observer, gateway, Clock::now() + std::chrono::milliseconds(options.holdMs));
    if (!removed) changeDefaultRoute(control.get(), false, gateway, metric);
    std::this_thread::sleep_for(std::chrono::milliseconds(options.gapMs));
    return removed;
}

Result measure(const Configuration& configuration, const Options& options) {
    std::fprintf(stderr, "%s...\n", configuration.name.c_str());
    configuration.begin();
    const unique_fd observer = openRtnetlink(RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE);
    acceptOnlyRemovals(observer.get());
    std::array<long, 2> leaked{}, tunnel{}, sent{}, refused{};
    for (std::size_t f = 0; f < 2; ++f) {
        leaked[f] = counts.leaked[f];
        tunnel[f] = counts.tunnel[f];
        sent[f] = counts.sent[f];
        refused[f] = counts.refused[f];
    }
    Result result{configuration.name};
    {
        const Sender sender(options.rate);
        for (int i = 0; i < options.events; ++i) {
            for (const int family : {AF_INET, AF_INET6})
                result.removedByOthers[familyIndex(family)] +=
                    event(observer.get(), family, options);
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the last packets land
    for (std::size_t f = 0; f < 2; ++f) {
        result.leaked[f] = counts.leaked[f] - leaked[f];
        result.tunnel[f] = counts.tunnel[f] - tunnel[f];
        result.sent[f] = counts.sent[f] - sent[f];
        result.refused[f] = counts.refused[f] - refused[f];
    }
    configuration.end();
    return result;
}

[[noreturn]] void usage() {
    std::fprintf(
        stderr,
        "usage: telvord_leaked_packets [--events N] [--rate N] [--hold-ms N] [--gap-ms N]\n"
        "  --events N   foreign default routes per family and configuration (100)\n"
        "  --rate N     datagrams a second per family (20000)\n"
        "  --hold-ms N  how long a route that nobody removes stays (20)\n"
        "  --gap-ms N   pause after each event (5)\n");
    std::exit(2);
}

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        const auto number = [&] { return numberArgument(argc, argv, i, 1, usage); };
        if (argument == "--events") {
            options.events = number();
        } else if (argument == "--rate") {
            options.rate = std::min(number(), 100000);
        } else if (argument == "--hold-ms") {
            options.holdMs = number();
        } else if (argument == "--gap-ms") {
            options.gapMs = number();
        } else {
            usage();
        }
    }
    return options;
}

void report(const std::vector<Result>& results, const Options& options) {
    const std::time_t now = std::time(nullptr);
    std::array<char, 32> date{};
    std::strftime(date.data(), date.size(), "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
    std::printf(
        "telvord leaked packets: %s, build %s, %d events per family, %d datagrams/s per "
        "family, hold %d ms, gap %d ms\n\n",
        date.data(), TELVORD_BENCH_BUILD_TYPE, options.events, options.rate, options.holdMs,
        options.gapMs);
    std::printf("%-34s %-4s %8s %8s %7s %8s %9s\n", "configuration", "fam", "sent", "refused",
                "leaked", "tunnel", "removed");
    for (const Result& r : results) {
        for (std::size_t f = 0; f < 2; ++f) {
            std::printf("%-34s %-4s %8ld %8ld %7ld %8ld %5d/%-3d\n", r.name.c_str(),
                        f == 0 ? "IPv4" : "IPv6", r.sent[f], r.refused[f], r.leaked[f], r.tunnel[f],
                        r.removedByOthers[f], options.events);
        }
    }
    std::printf(
        "\nsent: accepted by sendto; refused: sendto failed (no route); leaked: arrived "
        "behind the uplink;\ntunnel: read from tun0; removed: events whose route "
        "somebody else removed within the hold\n");
}

}  // namespace

int main(int argc, char** argv) {
    programName = "telvord_leaked_packets";
    const Options options = parseOptions(argc, argv);
    if (::geteuid() != 0) die("run as root (it needs network and mount namespaces of its own)");
    enterNamespaces();
    setUpNetwork();
    prepareDaemonFiles();
    setUpUplink();
    control = openRtnetlink(0);
    const unique_fd tun = openTunnel();
    restorePhysicalDefaults();
    routing::kernel() = routing::systemKernel();

    const Receiver receiver(tun.get());
    std::vector<Result> results;
    for (const Configuration& configuration : configurations())
        results.push_back(measure(configuration, options));
    requireFresh();
    report(results, options);
    return 0;
}
