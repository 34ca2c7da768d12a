// The host under test: uplink, tunnel, default routes, and the daemon driven with telvorctl.

#include "host.h"

#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <netinet/ip.h>
#include <netinet/ip6.h>
#include <netinet/udp.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "fixture.h"
#include "routing/kill_switch.h"

namespace bench {

using util::unique_fd;

// --- the stream's datagrams --------------------------------------------------------------------

namespace {

// The daemon and telvorctl of this build, by paths that reach them inside the namespaces.
std::string daemonProgram, telvorctlProgram;

bool carriesMarker(const unsigned char* udp, std::size_t size) {
    return size >= sizeof(udphdr) + sizeof streamMarker &&
           std::memcmp(udp + sizeof(udphdr), streamMarker, sizeof streamMarker) == 0;
}

}  // namespace

std::optional<int> streamFamily(const unsigned char* packet, std::size_t size) {
    if (size >= sizeof(iphdr) && (packet[0] >> 4) == 4) {
        iphdr header{};
        std::memcpy(&header, packet, sizeof header);
        const std::size_t length = header.ihl * 4u;
        if (header.protocol == IPPROTO_UDP && size > length &&
            carriesMarker(packet + length, size - length))
            return AF_INET;
    }
    if (size >= sizeof(ip6_hdr) && (packet[0] >> 4) == 6) {
        ip6_hdr header{};
        std::memcpy(&header, packet, sizeof header);
        if (header.ip6_nxt == IPPROTO_UDP &&
            carriesMarker(packet + sizeof header, size - sizeof header))
            return AF_INET6;
    }
    return std::nullopt;
}

// --- uplink, tunnel, files ---------------------------------------------------------------------

namespace {

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

void mountTmpfs(const char* target) {
    if (::mount("tmpfs", target, "tmpfs", 0, "mode=0755") != 0)
        dieErrno(std::string("mount ") + target);
}

}  // namespace

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
    const std::string far = hardwareAddress("veth1");
    must(
        {"ip", "neigh", "replace", "192.0.2.1", "lladdr", far, "dev", "veth0", "nud", "permanent"});
    must({"ip", "-6", "neigh", "replace", "fe80::1", "lladdr", far, "dev", "veth0", "nud",
          "permanent"});
}

void prepareDaemonFiles() {
    const std::string upper = std::string(scratch) + "/etc-upper";
    const std::string work = std::string(scratch) + "/etc-work";
    if (::mkdir(upper.c_str(), 0755) != 0 || ::mkdir(work.c_str(), 0755) != 0) dieErrno("mkdir");
    const std::string options = "lowerdir=/etc,upperdir=" + upper + ",workdir=" + work;
    if (::mount("overlay", "/etc", "overlay", 0, options.c_str()) != 0) dieErrno("overlay /etc");
    for (const char* target : {"/var/tmp", "/var/log", "/run"})
        mountTmpfs(target);
}

// --- default routes ----------------------------------------------------------------------------

int control() {
    static const unique_fd fd = openRtnetlink(0);
    return fd.get();
}

void removeMainDefaults() {
    requireFresh();
    for (const int family : {AF_INET, AF_INET6}) {
        for (const routing::RouteInfo& route : mainDefaultRoutes(family)) {
            if (route.gateway)
                changeDefaultRoute(control(), false, *route.gateway, route.priority,
                                   route.outputInterface);
        }
    }
    spawnAndWait({"sh", "-c", "ip -6 route del blackhole default 2>/dev/null"});
}

void restorePhysicalDefaults() {
    removeMainDefaults();
    changeDefaultRoute(control(), true, uplink4, 0);
    changeDefaultRoute(control(), true, uplink6, 1024);
}

unique_fd setUpHost() {
    daemonProgram = reachable(TELVORD_BINARY);
    telvorctlProgram = reachable(TELVORCTL_BINARY);
    enterNamespaces();
    setUpNetwork();
    prepareDaemonFiles();
    setUpUplink();
    unique_fd tun = openTunnel();
    restorePhysicalDefaults();
    routing::kernel() = routing::systemKernel();
    return tun;
}

// --- the daemon --------------------------------------------------------------------------------

namespace {

std::optional<Child> daemon;
bool connectionBegun = false;  // connecting or connected: connectionclosed ends it

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

bool killSwitchHolds() {
    return routing::killSwitchInPlace(AF_INET).value_or(false) &&
           routing::killSwitchInPlace(AF_INET6).value_or(false);
}

}  // namespace

void waitForWatchers() {
    waitFor(
        [] { return routeGroupWatched(RTMGRP_IPV4_ROUTE) && routeGroupWatched(RTMGRP_IPV6_ROUTE); },
        "the route watchers");
}

void startDaemon(bool lockdown) {
    std::ofstream("/etc/telvor.clientd.conf", std::ios::trunc)
        << "lockdown=" << (lockdown ? "true" : "false") << "\n";
    ::unlink("/var/tmp/telvor.clientd.port");
    daemon.emplace(std::vector<std::string>{daemonProgram});
    waitFor([] { return ::access("/var/tmp/telvor.clientd.port", F_OK) == 0; }, "the port file");
}

void stopDaemon(int signal) {
    if (daemon) daemon->stop(signal);
    daemon.reset();
}

std::string daemonMemory() {
    if (!daemon) return "no daemon";
    std::ifstream status("/proc/" + std::to_string(daemon->pid()) + "/status");
    std::map<std::string, double> mib;
    for (std::string line; std::getline(status, line);) {
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        const std::string key = line.substr(0, colon);
        if (key == "VmRSS" || key == "RssAnon" || key == "RssFile")
            mib[key] = std::stod(line.substr(colon + 1)) / 1024;  // the kernel counts kB
    }
    char text[96];
    std::snprintf(text, sizeof text, "VmRSS %.1f MiB (RssAnon %.1f, RssFile %.1f)", mib["VmRSS"],
                  mib["RssAnon"], mib["RssFile"]);
    return text;
}

void telvorctl(std::vector<std::string> words) {
    words.insert(words.begin(), telvorctlProgram);
    if (spawnAndWait(words) != 0) die("telvorctl " + words[1] + " failed");
}

void enterMode(Mode mode, bool replaceDns) {
    startDaemon(mode != Mode::forcedConnected);
    connectionBegun = mode != Mode::lockdown;
    std::vector<std::string> words{"prepareforconnect", "serveraddress", server4.text()};
    if (mode == Mode::lockdownConnecting) {
        words.insert(words.end(), {"dnsaddress", dnsServer4.text()});
    } else if (connectionBegun) {
        words.insert(words.end(), {"connectionsuccesful", "connectionsuccesful4", tunnel4.text(),
                                   "connectionsuccesful6", tunnel6.text()});
    }
    if (mode == Mode::forcedConnected) words.insert(words.begin(), "enableforced");
    if (replaceDns) words.insert(words.end(), {"replacedns", tunnel4.text()});
    if (connectionBegun) telvorctl(words);
    waitFor(killSwitchHolds, "the kill switch");
    waitForWatchers();
}

void leaveMode() {
    if (!daemon) {
        startDaemon(false);  // resumes what a killed one left, from its state file
    } else if (connectionBegun) {
        telvorctl({"connectionclosed"});  // in forced mode, also gives the routes back
    }
    connectionBegun = false;
    telvorctl({"disablelockdown"});  // else the state file would bring lockdown back at start
    stopDaemon(SIGTERM);
    restorePhysicalDefaults();
}

}  // namespace bench
