// telvord_leaked_packets: how many datagrams leave through the physical uplink past the daemon.
// Two tables in one run:
// - configurations: while a foreign default route comes and goes, with no daemon, with the route
//   watchers alone, and with the daemon as shipped (lockdown, forced mode with the tunnel up, and
//   killed with SIGKILL). The program adds the routes itself, as a DHCP client does (IPv4, proto
//   dhcp) and as a router advertisement does (IPv6, proto ra, via the link-local fe80::1), N
//   times per family.
// - leak classes: the ways out that are no default route, each made by the real software that
//   makes it on a user's network (routes pushed by dnsmasq to dhcpcd, route information from
//   radvd, a socket bound to the uplink, a container's traffic behind NAT, a flushed ruleset, DNS
//   to the LAN), once without a daemon (calibration) and once with the daemon.
//
// Run as root. It stands in the namespace fixture of the benchmarks (fixture.h) with veth0 as
// the uplink; the far side of it, veth1, stands in a namespace of its own that plays the LAN
// (lan.h). A sender streams UDP datagrams; a packet socket on veth1 counts those that arrive
// there, and the tunnel device's own descriptor counts those the tunnel carries. The daemon runs
// from the build tree with its files on tmpfs and an overlay of /etc, and is driven with
// telvorctl (host.h).

#include <arpa/inet.h>
#include <net/if.h>
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
// NetworkManager's metric for wired DHCP routes; for router advertisements, one below the
// tunnel's 1024 (net.ipv6.conf.*.ra_defrtr_metric), so that the route would win over it.
constexpr std::uint32_t dhcpMetric = 100;
constexpr std::uint32_t raMetric = 512;
const Address lanDns4 = *Address::parse("192.0.2.1", AF_INET);
const Address lanDns6 = *Address::parse("2001:db8::1", AF_INET6);

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
    std::array<std::atomic<long>, 2> leaked{};   // arrived on veth1
    std::array<std::atomic<long>, 2> tunnel{};   // read from tun0
    std::array<std::atomic<long>, 2> sent{};     // accepted by sendto
    std::array<std::atomic<long>, 2> refused{};  // refused by sendto (no route)
};
Counts counts;

// The counts of a stretch of time, per family.
struct Tally {
    std::array<long, 2> leaked{}, tunnel{}, sent{}, refused{};

    static Tally now() {
        Tally tally;
        for (std::size_t f = 0; f < 2; ++f) {
            tally.leaked[f] = counts.leaked[f];
            tally.tunnel[f] = counts.tunnel[f];
            tally.sent[f] = counts.sent[f];
            tally.refused[f] = counts.refused[f];
        }
        return tally;
    }
    Tally operator-(const Tally& earlier) const {
        Tally difference;
        for (std::size_t f = 0; f < 2; ++f) {
            difference.leaked[f] = leaked[f] - earlier.leaked[f];
            difference.tunnel[f] = tunnel[f] - earlier.tunnel[f];
            difference.sent[f] = sent[f] - earlier.sent[f];
            difference.refused[f] = refused[f] - earlier.refused[f];
        }
        return difference;
    }
};

// Counts the stream's packets that reach veth1 or the tunnel, until woken.
class Receiver {
  public:
    Receiver(unique_fd farSide, int tun) : farSide_(std::move(farSide)), tun_(tun) {
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
            for (std::size_t source = 0; source < 2; ++source) {
                if (waitFor[source].revents == 0) continue;
                const int fd = source == 0 ? farSide_.get() : tun_;
                const ssize_t n = ::read(fd, packet.data(), packet.size());  // tun0 is no socket
                if (n <= 0) continue;
                if (const auto family = streamFamily(packet.data(), static_cast<std::size_t>(n))) {
                    auto& into = source == 0 ? counts.leaked : counts.tunnel;
                    into[familyIndex(*family)].fetch_add(1);
                }
            }
        }
    }
    unique_fd farSide_;
    int tun_;
    unique_fd wake_;
    std::thread thread_;
};

// One destination of the stream, with the socket it is sent from.
struct Target {
    unique_fd socket;
    sockaddr_storage to{};
    socklen_t size = 0;
    std::size_t family = 0;
};

// A socket of the calling thread's network namespace for `to`, bound to `device` if one is named.
Target target(const Address& to, std::uint16_t port, const char* device = nullptr) {
    Target made;
    made.family = familyIndex(to.family);
    made.socket.reset(::socket(to.family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!made.socket) dieErrno("socket");
    if (device != nullptr && ::setsockopt(made.socket.get(), SOL_SOCKET, SO_BINDTODEVICE, device,
                                          static_cast<socklen_t>(std::strlen(device))) != 0)
        dieErrno("SO_BINDTODEVICE");
    if (to.family == AF_INET) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        std::memcpy(&address.sin_addr, to.bytes.data(), 4);
        std::memcpy(&made.to, &address, made.size = sizeof address);
    } else {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(port);
        std::memcpy(&address.sin6_addr, to.bytes.data(), 16);
        std::memcpy(&made.to, &address, made.size = sizeof address);
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
        const bool ok = ::sendto(target.socket.get(), streamMarker, sizeof streamMarker, 0,
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

// Where a class's stream goes, and from where.
enum class Stream {
    internet,       // to 203.0.113.1 and 2001:db8:ffff::1
    boundToUplink,  // the same, from sockets bound to veth0 (SO_BINDTODEVICE)
    fromGuest,      // the same, from the guest namespace, forwarded and masqueraded by the host
    lanDns,         // to the LAN's DNS server, 192.0.2.1 and 2001:db8::1, port 53
};

constexpr unsigned ipv4 = 1, ipv6 = 2;

struct LeakClass {
    std::string name;
    Mode mode;  // the daemon's, in the daemon's run
    unsigned families = ipv4;
    Stream stream = Stream::internet;
    std::vector<std::string> pushedRoutes{};  // by the LAN's DHCP server (option 121)
    bool routeInformation = false;            // by the LAN's router advertisements
    bool flushRuleset = false;                // `nft flush ruleset` as the stream starts
    bool replaceDns = false;                  // `replacedns:` while connected
};

std::vector<LeakClass> leakClasses() {
    const std::vector<std::string> halves{"0.0.0.0/1", "128.0.0.0/1"};
    const std::vector<std::string> internet{"203.0.113.0/24"};
    return {
        {.name = "pushed /1 routes (DHCP), lockdown",
         .mode = Mode::lockdown,
         .pushedRoutes = halves},
        {.name = "pushed /24 (DHCP), lockdown, connected",
         .mode = Mode::lockdownConnected,
         .pushedRoutes = internet},
        {.name = "pushed /24 (DHCP), forced, connected",
         .mode = Mode::forcedConnected,
         .pushedRoutes = internet},
        {.name = "route information (RA), lockdown",
         .mode = Mode::lockdown,
         .families = ipv6,
         .routeInformation = true},
        {.name = "socket bound to the uplink, lockdown",
         .mode = Mode::lockdown,
         .families = ipv4 | ipv6,
         .stream = Stream::boundToUplink},
        {.name = "forwarded behind NAT, /1 routes, lockdown",
         .mode = Mode::lockdown,
         .stream = Stream::fromGuest,
         .pushedRoutes = halves},
        {.name = "nft flush ruleset, /1 routes, lockdown",
         .mode = Mode::lockdown,
         .pushedRoutes = halves,
         .flushRuleset = true},
        {.name = "DNS to the LAN, connected, replacedns",
         .mode = Mode::lockdownConnected,
         .families = ipv4 | ipv6,
         .stream = Stream::lanDns,
         .replaceDns = true},
    };
}

std::vector<Target> targets(const LeakClass& leak, const Lan& lan) {
    const bool dns = leak.stream == Stream::lanDns;
    const std::uint16_t port = dns ? 53 : farPort;
    const char* device = leak.stream == Stream::boundToUplink ? "veth0" : nullptr;
    std::optional<Inside> inside;  // so that the sockets are the guest's
    if (leak.stream == Stream::fromGuest) inside.emplace(lan.guest());
    std::vector<Target> made;
    if (leak.families & ipv4) made.push_back(target(dns ? lanDns4 : far4, port, device));
    if (leak.families & ipv6) made.push_back(target(dns ? lanDns6 : far6, port, device));
    return made;
}

// The LAN's part of a class: the routes it pushes or advertises, while this lives.
struct Exposure {
    std::optional<PushedRoutes> pushed;
    std::optional<AdvertisedRoute> advertised;

    Exposure(const LeakClass& leak, const Lan& lan) {
        if (leak.flushRuleset) must({"nft", "flush", "ruleset"});
        if (!leak.pushedRoutes.empty()) pushed.emplace(lan, leak.pushedRoutes);
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
        if (leak.stream == Stream::fromGuest) masquerade.emplace();
        std::optional<Sender> sender(std::in_place, options.rate, targets(leak, lan));
        const Exposure exposure(leak, lan);
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

void reportClasses(const std::vector<ClassResult>& results) {
    std::printf("%-42s %-4s | %-16s | %s\n", "", "", "no daemon", "daemon");
    std::printf("%-42s %-4s | %7s %8s | %7s %8s %7s %7s\n", "leak class", "fam", "sent", "leaked",
                "sent", "refused", "leaked", "tunnel");
    for (const ClassResult& r : results) {
        for (std::size_t f = 0; f < 2; ++f) {
            if ((r.leak->families & (f == 0 ? ipv4 : ipv6)) == 0) continue;
            std::printf("%-42s %-4s | %7ld %8ld | %7ld %8ld %7ld %7ld\n", r.leak->name.c_str(),
                        familyName(f), r.calibration.sent[f], r.calibration.leaked[f],
                        r.daemon.sent[f], r.daemon.refused[f], r.daemon.leaked[f],
                        r.daemon.tunnel[f]);
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
        "\nsent: accepted by sendto; refused: sendto failed (no route); leaked: arrived "
        "behind the uplink;\ntunnel: read from tun0; removed: events whose route "
        "somebody else removed within the hold\n");
}

}  // namespace

int main(int argc, char** argv) {
    programName = "telvord_leaked_packets";
    const Options options = parseOptions(argc, argv);
    const unique_fd tun = setUpHost();
    const Lan lan;

    const Receiver receiver(lan.openFarSide(), tun.get());
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
