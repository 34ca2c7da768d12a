// telvord_guard_cost: what the daemon's packet filter costs the tunnel's traffic. A sender sends
// UDP datagrams with a 64-byte payload to 203.0.113.1 as fast as it can, from one connected
// socket, while the program reads the tunnel device's own descriptor; the rate is what reaches
// that descriptor. Three configurations take turns, in an order that rotates from one
// repetition to the next, so that a slow stretch of the machine falls on all of them alike:
// - no table: the bench's own default route through tun0, no nftables table at all;
// - an empty output chain: the same, with a table of the bench's own (family inet) holding one
//   base chain `type filter hook output priority 0` without rules, the floor any filter pays;
// - the daemon's guard: the daemon in lockdown, connected, with the tunnel's routes set.
//
// Run as root. It stands in the namespace fixture of the benchmarks (fixture.h), with the host
// under test of host.h.

#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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
#include <utility>
#include <vector>

#include "fixture.h"
#include "host.h"

namespace {

using namespace bench;
using Clock = std::chrono::steady_clock;
using util::unique_fd;

constexpr std::size_t payloadSize = 64;
constexpr auto warmUp = std::chrono::milliseconds(100);

struct Options {
    int repetitions = 7;  // per configuration
    int ms = 1000;        // measured time of one repetition
};

// --- configurations ----------------------------------------------------------------------------

constexpr const char* costTable = "telvord_bench_cost";

void routeThroughTunnel() {
    removeMainDefaults();
    must({"ip", "route", "add", "default", "via", "10.8.0.1", "dev", "tun0"});
}

void addEmptyChain() {
    routeThroughTunnel();
    must({"nft", "add", "table", "inet", costTable});
    must({"nft", "add", "chain", "inet", costTable, "output",
          "{ type filter hook output priority 0 ; }"});
}

void removeEmptyChain() {
    must({"nft", "delete", "table", "inet", costTable});
    restorePhysicalDefaults();
}

struct Configuration {
    std::string name;
    std::function<void()> begin, end;
};

std::vector<Configuration> configurations() {
    return {
        {"no table", routeThroughTunnel, restorePhysicalDefaults},
        {"empty output chain", addEmptyChain, removeEmptyChain},
        {"the daemon's guard", [] { enterMode(Mode::lockdownConnected); }, leaveMode},
    };
}

// --- one repetition ----------------------------------------------------------------------------

// Datagrams per second of the sender's CPU time taken by tun0 (which preemption by other work
// on the machine does not dilute), and per second of wall-clock time taken, read and sent.
struct Rates {
    double perCpu = 0, taken = 0, read = 0, sent = 0;
};

// The counters at one moment, and the clocks: the wall clock and the sender's CPU clock.
struct Sample {
    long taken = 0, read = 0, sent = 0;
    double wall = 0, cpu = 0;

    Rates ratesUntil(const Sample& later) const {
        const double wallSeconds = later.wall - wall;
        const auto taken1 = static_cast<double>(later.taken - taken);
        return {taken1 / (later.cpu - cpu), taken1 / wallSeconds,
                static_cast<double>(later.read - read) / wallSeconds,
                static_cast<double>(later.sent - sent) / wallSeconds};
    }
};

double secondsOf(clockid_t clock) {
    timespec now{};
    ::clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Packets tun0 took from the stack: transmitted (that is, read by the program) and dropped
// because the program had not read them yet, from the counters of /proc/self/net/dev.
long tunnelTaken() {
    std::ifstream table("/proc/self/net/dev");
    std::string line;
    while (std::getline(table, line)) {
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos || line.substr(0, colon).find("tun0") == std::string::npos)
            continue;
        std::istringstream fields(line.substr(colon + 1));
        std::array<long, 12> values{};
        for (long& value : values)
            fields >> value;
        return values[9] + values[11];
    }
    die("tun0 is missing from /proc/self/net/dev");
}

unique_fd connectedSender() {
    unique_fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd) dieErrno("socket");
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(40000);
    std::memcpy(&to.sin_addr, far4.bytes.data(), 4);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
        dieErrno("connect");
    return fd;
}

// Reads the stream's datagrams from the tunnel device until `running` ends.
void readTunnel(int tun, const std::atomic<bool>& running, std::atomic<long>& read) {
    std::array<unsigned char, 2048> packet{};
    while (running) {
        const ssize_t n = ::read(tun, packet.data(), packet.size());
        if (n > 0 && streamFamily(packet.data(), static_cast<std::size_t>(n))) {
            read.fetch_add(1, std::memory_order_relaxed);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd readable{tun, POLLIN, 0};
            ::poll(&readable, 1, 1);
        }
    }
}

void sendAtFullRate(int socket, const std::atomic<bool>& running, std::atomic<long>& sent) {
    std::array<char, payloadSize> payload{};
    std::memcpy(payload.data(), streamMarker, sizeof streamMarker);
    while (running) {
        if (::send(socket, payload.data(), payload.size(), 0) >= 0)
            sent.fetch_add(1, std::memory_order_relaxed);
    }
}

Rates measureRates(int tun, const Options& options) {
    const unique_fd socket = connectedSender();
    std::atomic<bool> running = true;
    std::atomic<long> read = 0, sent = 0;
    std::thread reader([&] { readTunnel(tun, running, read); });
    std::thread sender([&] { sendAtFullRate(socket.get(), running, sent); });
    clockid_t senderClock{};
    if (::pthread_getcpuclockid(sender.native_handle(), &senderClock) != 0)
        die("pthread_getcpuclockid failed");
    const auto sample = [&] {
        return Sample{tunnelTaken(), read, sent, secondsOf(CLOCK_MONOTONIC),
                      secondsOf(senderClock)};
    };
    std::this_thread::sleep_for(warmUp);
    const Sample first = sample();
    std::this_thread::sleep_for(std::chrono::milliseconds(options.ms));
    const Sample last = sample();
    running = false;
    sender.join();
    reader.join();
    return first.ratesUntil(last);
}

// --- command line and report -------------------------------------------------------------------

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "usage: telvord_guard_cost [--repetitions N] [--ms N]\n"
                 "  --repetitions N  measurements per configuration, taking turns (7)\n"
                 "  --ms N           measured time of one measurement (1000)\n");
    std::exit(2);
}

Options parseOptions(int argc, char** argv) {
    Options options;
    parseNumberOptions(
        argc, argv, {{"--repetitions", &options.repetitions}, {"--ms", &options.ms, 100}}, usage);
    return options;
}

struct Spread {
    double median = 0, least = 0, most = 0;
};

Spread spread(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    const double median =
        values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
    return {median, values.front(), values.back()};
}

std::vector<double> column(const std::vector<Rates>& rates, double Rates::*rate) {
    std::vector<double> values;
    for (const Rates& r : rates)
        values.push_back(r.*rate);
    return values;
}

// The ratios of the rates per CPU-second in the same repetitions: neighbours in time, so that a
// slow stretch of the machine falls on both.
std::vector<double> pairedRatios(const std::vector<Rates>& above, const std::vector<Rates>& below) {
    std::vector<double> ratios;
    for (std::size_t r = 0; r < above.size(); ++r)
        ratios.push_back(above[r].perCpu / below[r].perCpu);
    return ratios;
}

void report(const std::vector<Configuration>& configurations,
            const std::vector<std::vector<Rates>>& rates, const Options& options) {
    std::printf(
        "telvord guard cost: %s, build %s, %d repetitions of %d ms per configuration, UDP with "
        "a %zu-byte payload into tun0\n\n",
        utcNow().c_str(), TELVORD_BENCH_BUILD_TYPE, options.repetitions, options.ms, payloadSize);
    std::printf("%-24s %10s %9s %9s | %11s %9s %9s\n", "configuration", "per CPU-s", "min", "max",
                "into tun0/s", "read/s", "sent/s");
    for (std::size_t c = 0; c < configurations.size(); ++c) {
        const Spread perCpu = spread(column(rates[c], &Rates::perCpu));
        std::printf("%-24s %10.0f %9.0f %9.0f | %11.0f %9.0f %9.0f\n",
                    configurations[c].name.c_str(), perCpu.median, perCpu.least, perCpu.most,
                    spread(column(rates[c], &Rates::taken)).median,
                    spread(column(rates[c], &Rates::read)).median,
                    spread(column(rates[c], &Rates::sent)).median);
    }
    std::printf("\n%-24s %10s %9s %9s\n", "per CPU-s, ratio", "p50", "min", "max");
    const std::array<std::pair<const char*, Spread>, 2> ratios{{
        {"empty chain / no table", spread(pairedRatios(rates[1], rates[0]))},
        {"guard / empty chain", spread(pairedRatios(rates[2], rates[1]))},
    }};
    for (const auto& [name, ratio] : ratios)
        std::printf("%-24s %10.3f %9.3f %9.3f\n", name, ratio.median, ratio.least, ratio.most);
    std::printf(
        "\nper CPU-s: datagrams taken by tun0 per second of the sender's CPU time; into tun0/s: "
        "the same per second\nof wall-clock time (read, or dropped as the reader fell behind); "
        "medians but for min and max;\nratios: of two configurations in the same "
        "repetition\n");
}

}  // namespace

int main(int argc, char** argv) {
    programName = "telvord_guard_cost";
    const Options options = parseOptions(argc, argv);
    const unique_fd tun = setUpHost();

    const std::vector<Configuration> all = configurations();
    std::vector<std::vector<Rates>> rates(all.size());
    for (int repetition = 0; repetition < options.repetitions; ++repetition) {
        for (std::size_t turn = 0; turn < all.size(); ++turn) {
            const std::size_t c = (turn + static_cast<std::size_t>(repetition)) % all.size();
            std::fprintf(stderr, "%d/%d %s...\n", repetition + 1, options.repetitions,
                         all[c].name.c_str());
            all[c].begin();
            rates[c].push_back(measureRates(tun.get(), options));
            all[c].end();
        }
    }
    // The daemon's memory, idle and in lockdown, with the guard's table held.
    startDaemon(false);
    const std::string idle = daemonMemory();
    stopDaemon(SIGTERM);
    enterMode(Mode::lockdown);
    const std::string lockdown = daemonMemory();
    leaveMode();
    requireFresh();
    report(all, rates, options);
    std::printf("\ndaemon memory: idle %s; in lockdown %s\n", idle.c_str(), lockdown.c_str());
    return 0;
}
