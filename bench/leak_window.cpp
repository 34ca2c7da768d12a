// telvord_leak_window: how long a foreign default route stays in the kernel's table before the
// route watchers remove it, next to a reference watcher that does nothing but receive the
// notification and spawn the same deletion command.
//
// Run as root. Before it touches a route or starts a watcher, the program moves into network
// and mount namespaces of its own, and it refuses to go on unless it stands in a network
// namespace other than the one it started in that holds only the loopback and the veth pair it
// made. It uses documentation addresses only.
//
// One round: just before the program adds "default via GATEWAY dev veth0 metric 100" over
// rtnetlink (so that the addition costs no process), it takes t0; when its own rtnetlink socket
// receives the RTM_DELROUTE of that route, it takes t1. The leak window is t1 - t0. Between
// rounds it waits until the deletion command has ended and checks that the table holds no
// default route. Variants take turns in blocks of rounds, so that a slow stretch of the machine
// falls on all of them alike.
//
// The daemon's watchers run unchanged, with the system's kernel seam; only its `run` function
// object is wrapped to note when a deletion command is about to be spawned and when it has
// ended (two clock reads), which splits each window into "before the spawn" and "the spawn".

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/log.h"
#include "core/paths.h"
#include "fixture.h"
#include "netlink/address.h"
#include "netlink/bytes.h"
#include "routing/kernel.h"
#include "routing/routing.h"
#include "routing/runner.h"
#include "routing/state.h"
#include "util/unique_fd.h"

extern char** environ;

namespace {

using namespace bench;
using netlink::forEachAttribute;
using netlink::forEachMessage;
using netlink::routeAttributesStart;
using Clock = std::chrono::steady_clock;
using netlink::Address;
using util::unique_fd;

constexpr const char* gatewayText4 = "192.0.2.3";
constexpr const char* gatewayText6 = "2001:db8::3";
constexpr auto removalTimeout = std::chrono::seconds(3);

// --- what the variants share with the measuring loop -----------------------------------------

// Deletion commands about to be spawned and ended, by whichever watcher runs.
struct SpawnProbe {
    std::atomic<Clock::rep> firstSpawn{0};  // of the current round
    std::atomic<int> started{0};
    std::atomic<int> ended{0};
    std::atomic<int> failed{0};

    void spawning() {
        Clock::rep none = 0;
        firstSpawn.compare_exchange_strong(none, Clock::now().time_since_epoch().count());
        started.fetch_add(1);
    }
    void spawned(int status) {
        if (status != 0) failed.fetch_add(1);
        ended.fetch_add(1);
    }
};

SpawnProbe probe;

// The reference: receives the family's route notifications and, for each new route that
// carries a gateway, spawns the deletion command and waits for it. Nothing else.
class ReferenceWatcher {
  public:
    ReferenceWatcher(int family, std::vector<std::string> commandPrefix)
        : family_(family), prefix_(std::move(commandPrefix)) {}
    ~ReferenceWatcher() { stop(); }
    ReferenceWatcher(const ReferenceWatcher&) = delete;
    ReferenceWatcher& operator=(const ReferenceWatcher&) = delete;

    void start() {
        socket_ = openRtnetlink(family_ == AF_INET6 ? RTMGRP_IPV6_ROUTE : RTMGRP_IPV4_ROUTE);
        wake_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!wake_) dieErrno("eventfd");
        thread_ = std::thread([this] { loop(); });
    }
    void stop() {
        if (!thread_.joinable()) return;
        const std::uint64_t one = 1;
        if (::write(wake_.get(), &one, sizeof one) != sizeof one) dieErrno("waking the reference");
        thread_.join();
        socket_.reset();
        wake_.reset();
    }

  private:
    void loop() {
        std::array<std::byte, 4096> buffer{};
        for (;;) {
            std::array<pollfd, 2> waitFor{{{socket_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}}};
            if (::poll(waitFor.data(), waitFor.size(), -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (waitFor[1].revents != 0) return;
            const ssize_t count = ::recv(socket_.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (count < 0) {
                if (errno == EINTR || errno == EAGAIN || errno == ENOBUFS) continue;
                return;
            }
            if (count == 0) return;
            forEachMessage(std::span(buffer).first(static_cast<std::size_t>(count)),
                           [&](std::uint16_t type, std::span<const std::byte> message) {
                               if (type != RTM_NEWROUTE || message.size() <= routeAttributesStart)
                                   return true;
                               forEachAttribute(message.subspan(routeAttributesStart),
                                                [&](std::uint16_t attribute, auto data) {
                                                    if (attribute == RTA_GATEWAY &&
                                                        data.size() == Address::size(family_)) {
                                                        deleteThrough(data.data());
                                                    }
                                                });
                               return true;
                           });
        }
    }

    void deleteThrough(const void* gateway) {
        std::array<char, INET6_ADDRSTRLEN> text{};
        ::inet_ntop(family_, gateway, text.data(), text.size());
        std::vector<char*> argv;
        for (std::string& word : prefix_)
            argv.push_back(word.data());
        argv.push_back(text.data());
        argv.push_back(nullptr);
        probe.spawning();
        pid_t child = -1;
        int status = routing::spawnFailureStatus;
        if (::posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) == 0) {
            while (::waitpid(child, &status, 0) < 0) {
                if (errno != EINTR) break;
            }
        }
        probe.spawned(status);
    }

    int family_;
    std::vector<std::string> prefix_;
    unique_fd socket_;
    unique_fd wake_;
    std::thread thread_;
};

// A syslog daemon's socket at /dev/log (in the program's own /dev): drains and counts.
class SyslogListener {
  public:
    ~SyslogListener() { stop(); }

    void start() {
        socket_.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        if (!socket_) dieErrno("unix socket");
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, "/dev/log");
        ::unlink(address.sun_path);
        if (::bind(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
            0) {
            dieErrno("bind /dev/log");
        }
        wake_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!wake_) dieErrno("eventfd");
        thread_ = std::thread([this] { loop(); });
    }
    void stop() {
        if (!thread_.joinable()) return;
        const std::uint64_t one = 1;
        if (::write(wake_.get(), &one, sizeof one) != sizeof one) dieErrno("waking the listener");
        thread_.join();
        socket_.reset();
        wake_.reset();
        ::unlink("/dev/log");
    }
    long messages() const { return messages_.load(); }

  private:
    void loop() {
        std::array<char, 8192> buffer{};
        for (;;) {
            std::array<pollfd, 2> waitFor{{{socket_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}}};
            if (::poll(waitFor.data(), waitFor.size(), -1) < 0 && errno != EINTR) return;
            if (waitFor[0].revents != 0) {
                while (::recv(socket_.get(), buffer.data(), buffer.size(), MSG_DONTWAIT) >= 0) {
                    messages_.fetch_add(1);
                }
            }
            if (waitFor[1].revents != 0) return;
        }
    }

    unique_fd socket_;
    unique_fd wake_;
    std::thread thread_;
    std::atomic<long> messages_{0};
};

// --- variants --------------------------------------------------------------------------------

struct Sample {
    double windowUs;    // addition to removal
    double preSpawnUs;  // addition to the deletion command's spawn call
};

struct Variant {
    std::string name;
    bool reference = false;
    bool debugLog = false;
    bool syslog = false;
    std::array<std::vector<Sample>, 2> samples;  // IPv4, IPv6
    long rounds = 0;                             // every round run, warm-up included
    long syslogMessages = 0;
    long long debugLogBytes = 0;
};

const std::string debugLogPath = std::string(scratch) + "/telvor.clientd.log";

long long fileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

struct Bench {
    unique_fd
        observer;  // RTM_DELROUTE of both families (all route messages with --observe-additions)
    unique_fd control;  // additions and clean-ups
    std::array<Address, 2> gateways;
    ReferenceWatcher reference4;
    ReferenceWatcher reference6;
    SyslogListener listener;
    int settleMs = 3;
    int timeouts = 0;
    int leftovers = 0;
    int addFailures = 0;

    Bench(std::vector<std::string> prefix4, std::vector<std::string> prefix6)
        : reference4(AF_INET, std::move(prefix4)), reference6(AF_INET6, std::move(prefix6)) {}

    void activate(const Variant& variant) {
        requireFresh();
        if (variant.reference) {
            reference4.start();
            reference6.start();
            return;
        }
        if (variant.syslog) listener.start();
        if (variant.debugLog && core::logOpen(debugLogPath) != 0) dieErrno("opening the debug log");
        routing::StartRouteWatchThread();
    }

    void deactivate(Variant& variant, long syslogBefore, long long logBefore) {
        if (variant.reference) {
            reference4.stop();
            reference6.stop();
            return;
        }
        routing::StopRouteWatchThread();
        variant.debugLogBytes += fileSize(debugLogPath) - logBefore;
        core::logClose();
        if (variant.syslog) {
            listener.stop();
            variant.syslogMessages += listener.messages() - syslogBefore;
        }
    }

    // Waits until the last deletion command has ended and its watcher is back at rest.
    void waitIdle() {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (probe.started.load() != probe.ended.load()) {
            if (Clock::now() > deadline) die("a deletion command did not end within 5 s");
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(settleMs));
    }

    void drainObserver() {
        std::array<std::byte, 16384> buffer{};
        for (;;) {
            const ssize_t count =
                ::recv(observer.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (count >= 0 || errno == ENOBUFS || errno == EINTR) continue;
            if (errno == EAGAIN) return;
            dieErrno("observer");
        }
    }

    // Deletes whatever default route a round left behind; returns whether there was one.
    bool clean(int family) {
        bool found = false;
        for (const routing::RouteInfo& route : mainDefaultRoutes(family)) {
            found = true;
            if (route.gateway) {
                changeDefaultRoute(control.get(), false, *route.gateway, route.priority,
                                   route.outputInterface);
            }
        }
        return found;
    }

    // Waits for the RTM_DELROUTE of the round's route; none when it did not come in time.
    std::optional<Clock::time_point> awaitRemoval(const Address& gateway,
                                                  Clock::time_point deadline) {
        std::array<std::byte, 16384> buffer{};
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return std::nullopt;
            pollfd waitFor{observer.get(), POLLIN, 0};
            const int ready = ::poll(&waitFor, 1, static_cast<int>(left.count()) + 1);
            if (ready < 0 && errno != EINTR) dieErrno("poll");
            if (ready <= 0) continue;
            const ssize_t count =
                ::recv(observer.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
            const Clock::time_point now = Clock::now();
            if (count < 0) {
                if (errno == EAGAIN || errno == EINTR) continue;
                if (errno == ENOBUFS) die("the observer lost notifications");
                dieErrno("observer");
            }
            bool removed = false;
            forEachMessage(std::span(buffer).first(static_cast<std::size_t>(count)),
                           [&](std::uint16_t type, std::span<const std::byte> message) {
                               const auto route = parseRoute(type, message);
                               if (route && route->type == RTM_DELROUTE &&
                                   route->family == gateway.family && route->dstLength == 0 &&
                                   route->table == RT_TABLE_MAIN && route->gateway == gateway) {
                                   removed = true;
                                   return false;
                               }
                               return true;
                           });
            if (removed) return now;
        }
    }

    // One round: add the foreign default route and time its removal.
    std::optional<Sample> round(Variant& variant, int family) {
        const Address& gateway = gateways[family == AF_INET6 ? 1 : 0];
        waitIdle();
        if (clean(family)) ++leftovers;
        drainObserver();
        probe.firstSpawn.store(0);
        ++variant.rounds;

        const Clock::time_point added = Clock::now();
        if (const int code = changeDefaultRoute(control.get(), true, gateway); code != 0) {
            ++addFailures;
            std::fprintf(stderr, "adding the default route via %s failed: %s\n",
                         gateway.text().c_str(), std::strerror(-code));
            return std::nullopt;
        }
        const auto removed = awaitRemoval(gateway, added + removalTimeout);
        if (!removed) {
            ++timeouts;
            clean(family);
            return std::nullopt;
        }
        const Clock::rep spawn = probe.firstSpawn.load();
        const auto micros = [&](Clock::time_point at) {
            return std::chrono::duration<double, std::micro>(at - added).count();
        };
        return Sample{micros(*removed),
                      spawn != 0 ? micros(Clock::time_point(Clock::duration(spawn))) : NAN};
    }
};

// --- statistics and output -------------------------------------------------------------------

struct Summary {
    std::size_t count = 0;
    double min = NAN, p50 = NAN, p90 = NAN, p99 = NAN, max = NAN;
};

// Nearest-rank percentiles.
Summary summarise(std::vector<double> values) {
    values.erase(
        std::remove_if(values.begin(), values.end(), [](double v) { return std::isnan(v); }),
        values.end());
    Summary summary;
    summary.count = values.size();
    if (values.empty()) return summary;
    std::sort(values.begin(), values.end());
    const auto rank = [&](double p) {
        const auto index =
            static_cast<std::size_t>(std::ceil(p * static_cast<double>(values.size())));
        return values[std::clamp<std::size_t>(index, 1, values.size()) - 1];
    };
    summary.min = values.front();
    summary.p50 = rank(0.50);
    summary.p90 = rank(0.90);
    summary.p99 = rank(0.99);
    summary.max = values.back();
    return summary;
}

std::vector<double> column(const std::vector<Sample>& samples, double Sample::*member) {
    std::vector<double> values;
    for (const Sample& sample : samples)
        values.push_back(sample.*member);
    return values;
}

std::string commandText(const std::vector<std::string>& prefix, const char* gateway) {
    std::string text;
    for (const std::string& word : prefix)
        text += word + " ";
    return text + gateway;
}

// --- the watcher's work before the spawn, step by step -----------------------------------------

// Times `work` `repetitions` times, pausing `gap` before each, so that every repetition starts
// as a watcher's burst does: after a quiet spell.
template <typename Work>
Summary timeRepeated(int repetitions, std::chrono::microseconds gap, Work work) {
    std::vector<double> micros;
    for (int i = 0; i < repetitions; ++i) {
        if (gap.count() > 0) std::this_thread::sleep_for(gap);
        const Clock::time_point start = Clock::now();
        work();
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    return summarise(micros);
}

// The eight messages the watcher logs for a new IPv4 default route before it spawns the
// deletion (the message, then type and address of RTA_TABLE, RTA_PRIORITY and RTA_GATEWAY).
void logLikeTheWatcher() {
    core::logMessage(core::levelDebug, "Got new netlink message of type %d, expected %d",
                     RTM_NEWROUTE, RTM_NEWROUTE);
    for (const auto& [type, address] :
         {std::pair{RTA_TABLE, "254.0.0.0"}, std::pair{RTA_PRIORITY, "100.0.0.0"},
          std::pair{RTA_GATEWAY, "192.0.2.3"}}) {
        core::logMessage(core::levelDebug, "Got RTA type %d, expected %d\n", type, RTA_GATEWAY);
        core::logMessage(core::levelDebug, "Got IPv4 address %s\n", address);
    }
    core::logMessage(core::levelDebug, "Closing route\n");
}

// The datagram that announces a new default route through the family's gateway, as a watcher
// receives it. No watcher may run.
std::vector<std::byte> captureNotification(Bench& bench, int family) {
    const Address& gateway = bench.gateways[family == AF_INET6 ? 1 : 0];
    const unique_fd listener =
        openRtnetlink(family == AF_INET6 ? RTMGRP_IPV6_ROUTE : RTMGRP_IPV4_ROUTE);
    if (changeDefaultRoute(bench.control.get(), true, gateway) != 0)
        die("adding a route to capture");
    std::vector<std::byte> datagram;
    bool found = false;
    while (!found) {
        pollfd waitFor{listener.get(), POLLIN, 0};
        if (::poll(&waitFor, 1, 1000) <= 0) die("no notification to capture");
        datagram.resize(16384);
        const ssize_t count =
            ::recv(listener.get(), datagram.data(), datagram.size(), MSG_DONTWAIT);
        if (count <= 0) continue;
        datagram.resize(static_cast<std::size_t>(count));
        forEachMessage(datagram, [&](std::uint16_t type, std::span<const std::byte> message) {
            const auto route = parseRoute(type, message);
            found = found || (route && route->type == RTM_NEWROUTE && route->gateway == gateway);
            return true;
        });
    }
    bench.clean(family);
    bench.drainObserver();
    return datagram;
}

struct Component {
    std::string name;
    Summary micros;
};

std::vector<Component> measureComponents(Bench& bench) {
    std::vector<Component> components;
    const auto logBursts = [&](const char* name, bool syslog, bool debugLog) {
        if (syslog) bench.listener.start();
        if (debugLog && core::logOpen(debugLogPath) != 0) dieErrno("opening the debug log");
        logLikeTheWatcher();  // connects to the syslog socket, when there is one
        components.push_back(
            {name, timeRepeated(200, std::chrono::milliseconds(1), logLikeTheWatcher)});
        core::logClose();
        bench.listener.stop();
    };
    logBursts("8 messages, log off, no syslogd", false, false);
    logBursts("8 messages, log on,  no syslogd", false, true);
    logBursts("8 messages, log off, syslogd", true, false);
    logBursts("8 messages, log on,  syslogd", true, true);

    for (const int family : {AF_INET, AF_INET6}) {
        const std::vector<std::byte> datagram = captureNotification(bench, family);
        components.push_back(
            {std::string("walkRouteNotifications, ") + (family == AF_INET6 ? "IPv6" : "IPv4"),
             timeRepeated(2000, std::chrono::microseconds(0), [&] {
                 const auto steps = routing::walkRouteNotifications(datagram, family);
                 if (steps.empty()) die("the captured notification walked to nothing");
             })});
    }
    components.push_back(
        {"useIpTool (a stat per route program)",
         timeRepeated(2000, std::chrono::microseconds(0), [] { (void)routing::useIpTool(); })});
    components.push_back({"tunnel gateway: copy under lock + parse",
                          timeRepeated(2000, std::chrono::microseconds(0), [] {
                              const auto text = routing::tunnelAddressCopy(AF_INET);
                              if (!text || !Address::parse(*text, AF_INET))
                                  die("no tunnel gateway");
                          })});
    return components;
}

struct Options {
    int rounds = 200;
    int block = 20;
    int warmup = 5;
    int settleMs = 3;
    bool ipForm = false;
    bool observeAdditions = false;
    std::FILE* raw = nullptr;
};

[[noreturn]] void usage() {
    std::fprintf(
        stderr,
        "usage: telvord_leak_window [--rounds N] [--block N] [--warmup N] [--settle-ms N]\n"
        "                           [--ip-form] [--observe-additions] [--raw FILE.csv]\n"
        "  --rounds N     measured rounds per variant and family (200)\n"
        "  --block N      rounds a variant runs before the next takes over (20)\n"
        "  --warmup N     unmeasured rounds per variant and family first (5)\n"
        "  --settle-ms N  pause after each round's deletion command has ended (3)\n"
        "  --ip-form      hide the route program, so that IPv4 deletions use ip\n"
        "  --observe-additions  let the timing socket receive the additions too (it then\n"
        "                 wakes while the watcher works; for comparison only)\n"
        "  --raw FILE     write every sample as CSV (opened before the namespaces)\n");
    std::exit(2);
}

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        const auto number = [&](int minimum) {
            return numberArgument(argc, argv, i, minimum, usage);
        };
        if (argument == "--rounds") {
            options.rounds = number(1);
        } else if (argument == "--block") {
            options.block = number(1);
        } else if (argument == "--warmup") {
            options.warmup = number(0);
        } else if (argument == "--settle-ms") {
            options.settleMs = number(0);
        } else if (argument == "--observe-additions") {
            options.observeAdditions = true;
        } else if (argument == "--ip-form") {
            options.ipForm = true;
        } else if (argument == "--raw") {
            if (i + 1 >= argc) usage();
            options.raw = std::fopen(argv[++i], "w");
            if (options.raw == nullptr) dieErrno(std::string("opening ") + argv[i]);
        } else {
            usage();
        }
    }
    return options;
}

std::string formatMicros(double value) {
    if (std::isnan(value)) return "-";
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%.0f", value);
    return text.data();
}

}  // namespace

int main(int argc, char** argv) {
    programName = "telvord_leak_window";
    Options options = parseOptions(argc, argv);

    enterNamespaces();
    setUpNetwork();
    core::syslogInit();

    // The daemon's routing state as a connected tunnel leaves it.
    routing::InitRoutingVariablesOs();
    if (options.ipForm) core::paths().routePrograms = {std::string(scratch) + "/no-route-program"};
    routing::Kernel system = routing::systemKernel();
    system.run = [run = system.run](std::string_view command) {
        probe.spawning();
        const int status = run(command);
        probe.spawned(status);
        return status;
    };
    routing::kernel() = system;
    routing::setTunnelAddress(AF_INET, "10.8.0.1");
    routing::setTunnelAddress(AF_INET6, "fd42::1");

    // The reference spawns the very command the watcher would.
    const bool ipTool = routing::useIpTool();
    std::vector<std::string> prefix4 =
        ipTool ? std::vector<std::string>{"ip", "route", "del", "default", "via"}
               : std::vector<std::string>{"route", "del", "default", "gw"};
    std::vector<std::string> prefix6 = {"ip", "-6", "route", "del", "default", "via"};
    const std::string command4 = commandText(prefix4, gatewayText4);
    const std::string command6 = commandText(prefix6, gatewayText6);

    Bench bench(prefix4, prefix6);
    bench.settleMs = options.settleMs;
    bench.gateways = {*Address::parse(gatewayText4, AF_INET),
                      *Address::parse(gatewayText6, AF_INET6)};
    bench.observer = openRtnetlink(RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE);
    if (!options.observeAdditions) acceptOnlyRemovals(bench.observer.get());
    bench.control = openRtnetlink(0);

    std::vector<Variant> variants(5);
    variants[0].name = "reference (receive + spawn)";
    variants[0].reference = true;
    variants[1].name = "watcher, log off, no syslogd";
    variants[2].name = "watcher, log on,  no syslogd";
    variants[2].debugLog = true;
    variants[3].name = "watcher, log off, syslogd";
    variants[3].syslog = true;
    variants[4].name = "watcher, log on,  syslogd";
    variants[4].debugLog = true;
    variants[4].syslog = true;

    const auto runBlock = [&](Variant& variant, int rounds, bool record) {
        const long syslogBefore = bench.listener.messages();
        const long long logBefore = fileSize(debugLogPath);
        bench.activate(variant);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the watchers reach poll
        // One unmeasured round per family first: a block's first messages pay for the syslog
        // connection and the first use of everything else.
        for (const int family : {AF_INET, AF_INET6})
            bench.round(variant, family);
        for (int i = 0; i < rounds; ++i) {
            for (const int family : {AF_INET, AF_INET6}) {
                const auto sample = bench.round(variant, family);
                if (record && sample)
                    variant.samples[family == AF_INET6 ? 1 : 0].push_back(*sample);
            }
        }
        bench.waitIdle();
        bench.deactivate(variant, syslogBefore, logBefore);
    };

    std::fprintf(stderr, "warming up...\n");
    for (Variant& variant : variants)
        runBlock(variant, options.warmup, false);
    const int blocks = (options.rounds + options.block - 1) / options.block;
    for (int block = 0; block < blocks; ++block) {
        const int rounds = std::min(options.block, options.rounds - block * options.block);
        std::fprintf(stderr, "block %d/%d\n", block + 1, blocks);
        for (std::size_t k = 0; k < variants.size(); ++k) {
            // Rotate the order, so that no variant always follows the same one.
            runBlock(variants[(k + static_cast<std::size_t>(block)) % variants.size()], rounds,
                     true);
        }
    }
    requireFresh();
    for (const int family : {AF_INET, AF_INET6}) {
        if (!mainDefaultRoutes(family).empty()) die("a default route was left behind");
    }
    std::fprintf(stderr, "timing the watcher's steps...\n");
    const std::vector<Component> components = measureComponents(bench);

    // --- report
    utsname system_name{};
    ::uname(&system_name);
    const std::string date = utcNow();
    std::printf("telvord leak window: %s, kernel %s, %u cores, build %s\n", date.c_str(),
                system_name.release, std::thread::hardware_concurrency(), TELVORD_BENCH_BUILD_TYPE);
    std::printf("IPv4 deletion: %s\nIPv6 deletion: %s\n", command4.c_str(), command6.c_str());
    std::printf(
        "%d measured rounds per variant and family, blocks of %d, %d warm-up, settle %d ms\n\n",
        options.rounds, options.block, options.warmup, options.settleMs);

    const Variant& reference = variants[0];
    std::array<Summary, 2> referenceWindow = {
        summarise(column(reference.samples[0], &Sample::windowUs)),
        summarise(column(reference.samples[1], &Sample::windowUs))};
    std::printf("Leak window, route added -> RTM_DELROUTE seen (microseconds)\n");
    std::printf("%-30s %-4s %4s %7s %7s %7s %7s %7s   %9s %9s\n", "variant", "fam", "n", "min",
                "p50", "p90", "p99", "max", "p50/ref", "p99/ref");
    for (const int f : {0, 1}) {
        for (const Variant& variant : variants) {
            const Summary s = summarise(column(variant.samples[f], &Sample::windowUs));
            std::array<char, 16> r50{}, r99{};
            if (variant.reference) {
                std::snprintf(r50.data(), r50.size(), "-");
                std::snprintf(r99.data(), r99.size(), "-");
            } else {
                std::snprintf(r50.data(), r50.size(), "%.3f", s.p50 / referenceWindow[f].p50);
                std::snprintf(r99.data(), r99.size(), "%.3f", s.p99 / referenceWindow[f].p99);
            }
            std::printf("%-30s %-4s %4zu %7s %7s %7s %7s %7s   %9s %9s\n", variant.name.c_str(),
                        f == 0 ? "IPv4" : "IPv6", s.count, formatMicros(s.min).c_str(),
                        formatMicros(s.p50).c_str(), formatMicros(s.p90).c_str(),
                        formatMicros(s.p99).c_str(), formatMicros(s.max).c_str(), r50.data(),
                        r99.data());
        }
    }
    std::printf(
        "\nBefore the spawn, route added -> deletion command's spawn call (microseconds)\n");
    std::printf("%-30s %-4s %4s %7s %7s %7s %7s %7s   %9s\n", "variant", "fam", "n", "min", "p50",
                "p90", "p99", "max", "p50-ref");
    for (const int f : {0, 1}) {
        const Summary referenceBefore =
            summarise(column(reference.samples[f], &Sample::preSpawnUs));
        for (const Variant& variant : variants) {
            const Summary s = summarise(column(variant.samples[f], &Sample::preSpawnUs));
            std::printf(
                "%-30s %-4s %4zu %7s %7s %7s %7s %7s   %9s\n", variant.name.c_str(),
                f == 0 ? "IPv4" : "IPv6", s.count, formatMicros(s.min).c_str(),
                formatMicros(s.p50).c_str(), formatMicros(s.p90).c_str(),
                formatMicros(s.p99).c_str(), formatMicros(s.max).c_str(),
                variant.reference ? "-" : formatMicros(s.p50 - referenceBefore.p50).c_str());
        }
    }
    std::printf(
        "\nThe watcher's work before the spawn, step by step, timed alone (microseconds)\n");
    std::printf("%-42s %5s %7s %7s %7s\n", "step", "n", "p50", "p90", "p99");
    for (const Component& component : components) {
        std::printf("%-42s %5zu %7.2f %7.2f %7.2f\n", component.name.c_str(),
                    component.micros.count, component.micros.p50, component.micros.p90,
                    component.micros.p99);
    }
    std::printf(
        "\nPer route (warm-up included): syslog datagrams received, debug log bytes written\n");
    for (const Variant& variant : variants) {
        if (variant.reference) continue;
        const double rounds = static_cast<double>(std::max(1L, variant.rounds));
        std::printf("%-30s syslog %6.1f   log %7.0f B\n", variant.name.c_str(),
                    variant.syslog ? static_cast<double>(variant.syslogMessages) / rounds : 0.0,
                    static_cast<double>(variant.debugLogBytes) / rounds);
    }
    std::printf(
        "\ndeletion commands failed: %d, rounds timed out: %d, leftover routes: %d, additions "
        "failed: %d\n",
        probe.failed.load(), bench.timeouts, bench.leftovers, bench.addFailures);

    if (options.raw != nullptr) {
        std::fprintf(options.raw, "variant,family,window_us,prespawn_us\n");
        for (const Variant& variant : variants) {
            for (const int f : {0, 1}) {
                for (const Sample& sample : variant.samples[f]) {
                    std::fprintf(options.raw, "\"%s\",%s,%.1f,%.1f\n", variant.name.c_str(),
                                 f == 0 ? "IPv4" : "IPv6", sample.windowUs, sample.preSpawnUs);
                }
            }
        }
        std::fclose(options.raw);
    }
    const bool clean = probe.failed.load() == 0 && bench.timeouts == 0 && bench.addFailures == 0;
    return clean ? 0 : 1;
}
