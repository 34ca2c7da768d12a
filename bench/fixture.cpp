// The namespace fixture of the benchmarks: fresh network and mount namespaces with a veth
// pair, a guard that refuses to touch anything outside them, and rtnetlink helpers.

#include "fixture.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <net/if.h>
#include <sched.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

#include "netlink/bytes.h"
#include "routing/rtnetlink.h"

extern char** environ;

namespace bench {

const char* programName = "telvord_bench";

using Clock = std::chrono::steady_clock;
using netlink::Address;
using netlink::Request;
using util::unique_fd;

// --- failing ---------------------------------------------------------------------------------

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "%s: %s\n", programName, what.c_str());
    std::exit(2);
}

int numberArgument(int argc, char** argv, int& i, int minimum, void (*usage)()) {
    const int value = i + 1 < argc ? std::atoi(argv[++i]) : minimum - 1;
    if (value < minimum) usage();
    return value;
}

void parseNumberOptions(int argc, char** argv, std::initializer_list<NumberOption> options,
                        void (*usage)()) {
    for (int i = 1; i < argc; ++i) {
        const NumberOption* option = nullptr;
        for (const NumberOption& candidate : options) {
            if (candidate.name == argv[i]) option = &candidate;
        }
        if (option == nullptr) usage();
        *option->value = numberArgument(argc, argv, i, option->minimum, usage);
    }
}

[[noreturn]] void dieErrno(const std::string& what) {
    die(what + ": " + std::strerror(errno));
}

std::string utcNow() {
    const std::time_t now = std::time(nullptr);
    std::array<char, 32> date{};
    std::strftime(date.data(), date.size(), "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
    return date.data();
}

// --- the namespace guard ---------------------------------------------------------------------

namespace {
ino_t hostNetNamespace = 0;
}  // namespace
std::set<std::string> madeInterfaces = {"lo"};

ino_t netNamespaceInode() {
    struct stat st {};
    if (::stat("/proc/self/ns/net", &st) != 0) dieErrno("stat /proc/self/ns/net");
    return st.st_ino;
}

std::set<std::string> interfaceNames() {
    std::set<std::string> names;
    struct if_nameindex* list = ::if_nameindex();
    if (list == nullptr) dieErrno("if_nameindex");
    for (const struct if_nameindex* entry = list; entry->if_index != 0; ++entry)
        names.insert(entry->if_name);
    ::if_freenameindex(list);
    return names;
}

// Exits unless this is a fresh network namespace that holds only interfaces made here.
void requireFresh() {
    if (hostNetNamespace == 0 || netNamespaceInode() == hostNetNamespace) {
        die("refusing: not inside a network namespace of this program's own");
    }
    for (const std::string& name : interfaceNames()) {
        if (madeInterfaces.count(name) == 0) {
            die("refusing: the network namespace holds interface " + name + ", not made here");
        }
    }
}

// --- processes -------------------------------------------------------------------------------

pid_t spawn(std::vector<std::string> words, const std::string& log) {
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    if (!log.empty()) {
        ::posix_spawn_file_actions_addopen(&actions, 1, log.c_str(),
                                           O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        ::posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
    pid_t child = -1;
    const int error = ::posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? child : -1;
}

int reap(pid_t child) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

int spawnAndWait(std::vector<std::string> words) {
    const pid_t child = spawn(std::move(words));
    return child < 0 ? -1 : reap(child);
}

std::string commandLine(const std::vector<std::string>& words) {
    std::string line;
    for (const std::string& word : words)
        line += (line.empty() ? "" : " ") + word;
    return line;
}

// Runs a set-up command, inside the fresh namespace only.
void must(const std::vector<std::string>& words) {
    requireFresh();
    if (spawnAndWait(words) != 0) die("command failed: " + commandLine(words));
}

bool holdsWithin(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void waitFor(const std::function<bool()>& condition, const std::string& what,
             std::chrono::milliseconds limit) {
    if (!holdsWithin(condition, limit)) die("timed out waiting for " + what);
}

Child::Child(std::vector<std::string> words, const std::string& log) {
    requireFresh();
    const std::string line = commandLine(words);
    pid_ = spawn(std::move(words), log);
    if (pid_ < 0) die("cannot start " + line);
}

void Child::stop(int signal) {
    if (pid_ <= 0) return;
    ::kill(pid_, signal);
    reap(pid_);
    pid_ = -1;
}

NetNamespace::NetNamespace(std::string name) : name_(std::move(name)) {
    must({"ip", "netns", "add", name_});
}

std::vector<std::string> NetNamespace::exec(std::vector<std::string> words) const {
    words.insert(words.begin(), {"ip", "netns", "exec", name_});
    return words;
}

unique_fd openNamespace(const std::string& path) {
    unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) dieErrno("open " + path);
    return fd;
}

Inside::Inside(const NetNamespace& space) : home_(openNamespace("/proc/thread-self/ns/net")) {
    if (::setns(openNamespace("/run/netns/" + space.name()).get(), CLONE_NEWNET) != 0)
        dieErrno("entering the network namespace " + space.name());
}

Inside::~Inside() {
    if (::setns(home_.get(), CLONE_NEWNET) != 0) dieErrno("leaving a network namespace");
}

// --- namespaces and file systems -------------------------------------------------------------

void mountOrDie(const char* source, const char* target, const char* type, unsigned long flags,
                const char* options) {
    if (::mount(source, target, type, flags, options) != 0)
        dieErrno(std::string("mount ") + target);
}

std::string reachable(const std::string& path) {
    // Close-on-exec: an exec through the path resolves it before the descriptor closes.
    const int fd = ::open(path.c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0) dieErrno("open " + path);
    return "/proc/self/fd/" + std::to_string(fd);
}

// Enters fresh network and mount namespaces, puts a tmpfs on /tmp and a /dev of its own in
// place (the host's entries, less /dev/log, which the program serves itself when a variant asks
// for a listening syslog).
void enterNamespaces() {
    if (::geteuid() != 0) die("run as root (it needs network and mount namespaces of its own)");
    hostNetNamespace = netNamespaceInode();
    if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) dieErrno("unshare (run as root)");
    // From here on, nothing this process mounts reaches the host.
    mountOrDie(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
    requireFresh();

    mountOrDie("tmpfs", scratch, "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777");
    const std::string hostDev = std::string(scratch) + "/host-dev";
    if (::mkdir(hostDev.c_str(), 0755) != 0) dieErrno("mkdir " + hostDev);
    mountOrDie("/dev", hostDev.c_str(), nullptr, MS_BIND | MS_REC, nullptr);
    mountOrDie("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=0755");
    DIR* directory = ::opendir(hostDev.c_str());
    if (directory == nullptr) dieErrno("opendir " + hostDev);
    while (const dirent* entry = ::readdir(directory)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || name == "log") continue;
        if (::symlink((hostDev + "/" + name).c_str(), ("/dev/" + name).c_str()) != 0) {
            dieErrno("symlink /dev/" + name);
        }
    }
    ::closedir(directory);
}

// --- rtnetlink -------------------------------------------------------------------------------

using netlink::forEachMessage;
using netlink::load;

std::optional<RouteMessage> parseRoute(std::uint16_t type, std::span<const std::byte> message) {
    if (type != RTM_NEWROUTE && type != RTM_DELROUTE) return std::nullopt;
    const auto route = routing::rtnetlink::parseRoute(message);
    if (!route) return std::nullopt;
    return RouteMessage{*route, type};
}

unique_fd openRtnetlink(unsigned groups) {
    unique_fd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!fd) dieErrno("netlink socket");
    const int bufferSize = 1 << 20;
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &bufferSize, sizeof bufferSize) != 0) {
        ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
    }
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = groups;
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        dieErrno("netlink bind");
    }
    return fd;
}

// Sends a request on `fd` and returns the error code of its acknowledgement (0 for success).
int exchange(int fd, std::span<const std::byte> request, std::uint32_t sequence) {
    if (::send(fd, request.data(), request.size(), 0) < 0) return -errno;
    std::array<std::byte, 8192> buffer{};
    for (;;) {
        const ssize_t count = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (count < 0) {
            if (errno == EINTR) continue;
            return -errno;
        }
        std::optional<int> code;
        forEachMessage(std::span(buffer).first(static_cast<std::size_t>(count)),
                       [&](std::uint16_t type, std::span<const std::byte> message) {
                           if (type == NLMSG_ERROR &&
                               message.size() >= NLMSG_HDRLEN + sizeof(int) &&
                               load<std::uint32_t>(message, 8) == sequence) {
                               code = load<int>(message, NLMSG_HDRLEN);
                               return false;
                           }
                           return true;
                       });
        if (code) return *code;
    }
}

std::uint32_t nextSequence() {
    static std::uint32_t sequence = 1;
    return ++sequence;
}

// Lets only RTM_DELROUTE messages reach `fd`, so that the observer does not wake (and take a
// core) when the route is added, while a watcher is about to spawn its command.
void acceptOnlyRemovals(int fd) {
    // Classic BPF loads are big-endian: the host's nlmsg_type reads as ntohs(type).
    std::array<sock_filter, 4> code{{
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, offsetof(nlmsghdr, nlmsg_type)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ntohs(RTM_DELROUTE), 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 0xffffffff),
        BPF_STMT(BPF_RET | BPF_K, 0),
    }};
    const sock_fprog program{static_cast<unsigned short>(code.size()), code.data()};
    if (::setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0) {
        dieErrno("attaching the observer's filter");
    }
}

unsigned vethIndex = 0;

int changeDefaultRoute(int fd, bool add, const Address& gateway, std::uint32_t priority,
                       unsigned interface, unsigned char protocol) {
    rtmsg route{};
    route.rtm_family = static_cast<unsigned char>(gateway.family);
    route.rtm_table = RT_TABLE_MAIN;
    route.rtm_protocol = add ? protocol : static_cast<unsigned char>(RTPROT_UNSPEC);
    route.rtm_scope = add ? RT_SCOPE_UNIVERSE : RT_SCOPE_NOWHERE;
    route.rtm_type = add ? RTN_UNICAST : RTN_UNSPEC;
    const std::uint32_t sequence = nextSequence();
    const auto flags = static_cast<std::uint16_t>(NLM_F_REQUEST | NLM_F_ACK |
                                                  (add ? NLM_F_CREATE | NLM_F_EXCL : 0));
    Request request(add ? RTM_NEWROUTE : RTM_DELROUTE, flags, sequence, route);
    request.attribute(RTA_GATEWAY, gateway.bytes.data(), Address::size(gateway.family));
    const std::uint32_t outputInterface = interface != 0 ? interface : vethIndex;
    request.attribute(RTA_OIF, &outputInterface, sizeof outputInterface);
    request.attribute(RTA_PRIORITY, &priority, sizeof priority);
    return exchange(fd, request.bytes(), sequence);
}

std::vector<routing::RouteInfo> dumpRoutes(int family) {
    auto routes = routing::rtnetlink::dumpRoutes(family);
    if (!routes) die("route dump failed");
    return std::move(*routes);
}

std::vector<routing::RouteInfo> mainDefaultRoutes(int family) {
    auto routes = routing::rtnetlink::dumpDefaultRoutes(family);
    if (!routes) die("route dump failed");
    return std::move(*routes);
}

void setUpNetwork() {
    must({"ip", "link", "set", "lo", "up"});
    madeInterfaces.insert("veth0");
    madeInterfaces.insert("veth1");
    must({"ip", "link", "add", "veth0", "type", "veth", "peer", "name", "veth1"});
    must({"ip", "addr", "add", "192.0.2.10/24", "dev", "veth0"});
    must({"ip", "addr", "add", "10.8.1.10/24", "dev", "veth0"});  // the private LAN
    must({"ip", "-6", "addr", "add", "2001:db8::10/64", "dev", "veth0", "nodad"});
    must({"ip", "link", "set", "veth1", "up"});
    must({"ip", "link", "set", "veth0", "up"});
    vethIndex = ::if_nametoindex("veth0");
    if (vethIndex == 0) dieErrno("if_nametoindex veth0");
    // Wait for the on-link routes that the gateways need.
    waitFor(
        [] {
            bool on4 = false, on6 = false;
            for (const routing::RouteInfo& route : dumpRoutes(AF_INET))
                on4 |= route.dstLength == 24;
            for (const routing::RouteInfo& route : dumpRoutes(AF_INET6))
                on6 |= route.dstLength == 64 && route.table == RT_TABLE_MAIN &&
                       route.outputInterface == vethIndex;
            return on4 && on6;
        },
        "the on-link routes of veth0", std::chrono::seconds(5));
    requireFresh();
}

}  // namespace bench
