#include "sandbox.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/fsuid.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace systest {
namespace {

// The sandbox the process stands in, if any. Nothing runs a command without one.
NetworkSandbox* activeSandbox = nullptr;
// Set when a sandbox's mount namespace could not be left.
bool stranded = false;

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + (errno ? std::string(": ") + std::strerror(errno) : ""));
}

ino_t namespaceInode(const char* path) {
    struct stat st {};
    if (::stat(path, &st) != 0) fail(std::string("stat ") + path);
    return st.st_ino;
}

void mountOrFail(const char* source, const std::string& target, const char* type,
                 unsigned long flags, const std::string& options) {
    if (::mount(source, target.c_str(), type, flags, options.empty() ? nullptr : options.c_str()) !=
        0) {
        fail("mount " + target);
    }
}

void makeDirectory(const std::string& path) {
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) fail("mkdir " + path);
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        if (!line.empty()) result.push_back(line);
    }
    return result;
}

std::vector<std::string> logMessages() {
    std::vector<std::string> result;
    std::istringstream text(readFile(Daemon::logFile));
    std::string line;
    while (std::getline(text, line)) {
        if (line.size() >= 21 && line.compare(19, 2, ": ") == 0) result.push_back(line.substr(21));
    }
    return result;
}

}  // namespace

std::string daemonBinary() {
    return TELVORD_BINARY;
}
std::string crashableDaemonBinary() {
    return TELVORD_CRASHABLE_BINARY;
}
std::string telvorctlBinary() {
    return TELVORCTL_BINARY;
}
std::string lockdownAtBootBinary() {
    return TELVORD_LOCKDOWN_BINARY;
}
std::string fakeOpenVpnBinary() {
    return TELVORD_FAKE_OPENVPN;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) fail("write " + path);
}

CommandResult sh(const std::string& command) {
    if (activeSandbox == nullptr)
        throw std::logic_error("refusing to run a command outside a sandbox");
    activeSandbox->requireFresh();
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) fail("pipe");
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(pipeFds[1], 1);
        ::dup2(pipeFds[1], 2);
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    std::string output;
    std::array<char, 4096> buffer{};
    ssize_t count;
    while ((count = ::read(pipeFds[0], buffer.data(), buffer.size())) > 0) {
        output.append(buffer.data(), static_cast<std::size_t>(count));
    }
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

std::string must(const std::string& command) {
    const CommandResult result = sh(command);
    if (result.status != 0) {
        throw std::runtime_error("command failed (" + std::to_string(result.status) +
                                 "): " + command + "\n" + result.output);
    }
    return result.output;
}

std::string shellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

CommandResult shOutside(const std::string& command) {
    return sh("ip netns exec outside sh -ec " + shellQuoted(command));
}

std::string mustOutside(const std::string& command) {
    return must("ip netns exec outside sh -ec " + shellQuoted(command));
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
                std::chrono::milliseconds interval) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(interval);
    }
}

std::optional<int> acceptQueue(int port) {
    char local[32];
    std::snprintf(local, sizeof local, "0100007F:%04X", port);
    std::istringstream table(readFile("/proc/net/tcp"));
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, address, remote, state, queues;
        fields >> slot >> address >> remote >> state >> queues;
        // A listening socket shows its accept queue as its receive queue.
        if (address == local && state == "0A") {
            return std::stoi(queues.substr(queues.find(':') + 1), nullptr, 16);
        }
    }
    return std::nullopt;
}

util::unique_fd connectAs(uid_t uid, int port) {
    // A socket is owned by the file-system uid of the thread that makes it, which this thread
    // takes for that moment alone.
    ::setfsuid(uid);
    util::unique_fd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ::setfsuid(0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!socket ||
        ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        fail("connect as uid " + std::to_string(uid));
    return socket;
}

bool closedByPeer(int socket, std::chrono::milliseconds timeout) {
    pollfd ready{socket, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(timeout.count())) != 1) return false;
    char byte = 0;
    const ssize_t count = ::recv(socket, &byte, 1, MSG_DONTWAIT);
    return count == 0 || (count < 0 && errno == ECONNRESET);
}

util::unique_fd farReceiver(std::uint16_t port) {
    util::unique_fd socket;
    // A namespace is a thread's own: a helper thread enters "outside" and makes the socket.
    std::thread([&] {
        const util::unique_fd outside(::open("/run/netns/outside", O_RDONLY | O_CLOEXEC));
        if (!outside || ::setns(outside.get(), CLONE_NEWNET) != 0) return;
        socket.reset(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        const int no = 0;
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(port);
        if (::setsockopt(socket.get(), IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no) != 0 ||
            ::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            socket.reset();
    }).join();
    if (!socket) throw std::runtime_error("no receiver in outside");
    return socket;
}

void sendDatagrams(int socket, const std::string& to, std::uint16_t port, int count,
                   const std::string& payload) {
    sockaddr_storage address{};
    socklen_t size = sizeof(sockaddr_in);
    if (to.find(':') != std::string::npos) {
        auto& six = reinterpret_cast<sockaddr_in6&>(address);
        six.sin6_family = AF_INET6;
        six.sin6_port = htons(port);
        const std::size_t zone = to.find('%');
        ::inet_pton(AF_INET6, to.substr(0, zone).c_str(), &six.sin6_addr);
        if (zone != std::string::npos) six.sin6_scope_id = ::if_nametoindex(to.c_str() + zone + 1);
        size = sizeof six;
    } else {
        auto& four = reinterpret_cast<sockaddr_in&>(address);
        four.sin_family = AF_INET;
        four.sin_port = htons(port);
        ::inet_pton(AF_INET, to.c_str(), &four.sin_addr);
    }
    for (int i = 0; i < count; ++i) {
        ::sendto(socket, payload.data(), payload.size(), 0,
                 reinterpret_cast<const sockaddr*>(&address), size);
    }
}

int countBeforeMarker(int receiver, const std::string& marker) {
    int count = 0;
    const bool marked = eventually([&] {
        char buffer[64];
        for (ssize_t n; (n = ::recv(receiver, buffer, sizeof buffer, 0)) > 0;) {
            if (std::string(buffer, static_cast<std::size_t>(n)) == marker) return true;
            ++count;
        }
        return false;
    });
    if (!marked) throw std::runtime_error("the marker '" + marker + "' did not arrive");
    return count;
}

Program::Program(const std::vector<std::string>& argv, const std::string& log) {
    pid_ = ::fork();
    if (pid_ > 0) ::setpgid(pid_, pid_);
    if (pid_ != 0) return;
    ::setpgid(0, 0);
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(out, 1);
    ::dup2(out, 2);
    ::close_range(3, ~0u, 0);
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
}

Program::~Program() {
    ::kill(-pid_, SIGTERM);
    int status = 0;
    if (!eventually([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; })) {
        ::kill(-pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
    }
    ::kill(-pid_, SIGKILL);  // what of the group is left
}

std::string resolverText(std::size_t size) {
    std::string text = "# Generated by the network manager\nsearch example.test\n";
    for (int line = 0; text.size() < size; ++line) {
        text += "# line " + std::to_string(line) + std::string(48, '.') + "\n";
        text += "nameserver 192.0.2." + std::to_string(line % 250 + 1) + "\n";
    }
    return text;
}

void fillFileSystem(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) fail("open " + path);
    std::array<char, 4096> chunk{};
    chunk.fill('f');
    while (::write(fd, chunk.data(), chunk.size()) > 0) {
    }
    const int error = errno;
    ::close(fd);
    errno = error;
    if (error != ENOSPC) fail("filling the file system of " + path);
}

NetworkSandbox::NetworkSandbox() {
    if (activeSandbox != nullptr) throw std::logic_error("one sandbox at a time");
    if (stranded)
        throw std::logic_error("an earlier sandbox could not be left; run one test per process");
    originalNet_ = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    originalMount_ = ::open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
    if (originalNet_ < 0 || originalMount_ < 0) fail("open namespace");
    if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) fail("unshare");
    try {
        enter();
    } catch (...) {
        leave();
        throw;
    }
}

void NetworkSandbox::enter() {
    // From here on, nothing this process mounts reaches the host.
    mountOrFail(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, "");

    std::string pattern = "/tmp/telvord-system-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) fail("mkdtemp");
    scratch_ = pattern;
    mountOrFail("tmpfs", scratch_, "tmpfs", 0, "mode=0755");
    makeDirectory(scratch_ + "/etc-upper");
    makeDirectory(scratch_ + "/etc-work");
    mountOrFail(
        "overlay", "/etc", "overlay", 0,
        "lowerdir=/etc,upperdir=" + scratch_ + "/etc-upper,workdir=" + scratch_ + "/etc-work");
    for (const char* dir : {"/var/tmp", "/var/log", "/run"}) {
        mountOrFail("tmpfs", dir, "tmpfs", 0,
                    std::string(dir) == "/var/tmp" ? "mode=1777" : "mode=0755");
    }
    // Start from the daemon's defaults whatever the host has installed.
    ::unlink("/etc/telvor.clientd.conf");
    ::unlink("/etc/resolv.conf.telvord");

    activeSandbox = this;
    requireFresh();
    must("ip link set lo up");
}

void NetworkSandbox::leave() {
    activeSandbox = nullptr;
    if (::setns(originalNet_, CLONE_NEWNET) != 0) {
        std::perror("setns");
        std::abort();
    }
    // A process with more than one thread (a sanitizer runtime starts one) cannot change its
    // mount namespace. It then stays in this one until it ends; ctest runs one test per
    // process, and no further sandbox may be built in it.
    if (::setns(originalMount_, CLONE_NEWNS) != 0) stranded = true;
    ::close(originalNet_);
    ::close(originalMount_);
    if (scratch_.empty()) return;
    // The directory lies in the host's /tmp; still inside the sandbox, detach its tmpfs first.
    if (stranded) ::umount2(scratch_.c_str(), MNT_DETACH);
    ::rmdir(scratch_.c_str());
}

NetworkSandbox::~NetworkSandbox() {
    endOutsideProcesses();
    leave();
}

void NetworkSandbox::endOutsideProcesses() {
    try {
        struct stat st {};
        if (::stat("/run/netns/outside", &st) != 0) return;
        const CommandResult pids = sh("ip netns pids outside");
        std::istringstream list(pids.output);
        pid_t pid = 0;
        while (list >> pid) {
            if (pid > 1 && pid != ::getpid()) ::kill(pid, SIGKILL);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "could not end the processes in outside: %s\n", error.what());
    }
}

void NetworkSandbox::requireFresh() const {
    const ino_t here = namespaceInode("/proc/self/ns/net");
    struct stat original {};
    ::fstat(originalNet_, &original);
    struct stat init {};
    const bool initKnown = ::stat("/proc/1/ns/net", &init) == 0;
    if (here == original.st_ino || (initKnown && here == init.st_ino)) {
        throw std::logic_error("not in a network namespace of the test's own; refusing");
    }
    struct if_nameindex* interfaces = ::if_nameindex();
    if (interfaces == nullptr) fail("if_nameindex");
    std::string foreign;
    for (struct if_nameindex* i = interfaces; i->if_index != 0; ++i) {
        const std::string name = i->if_name;
        if (name != "lo" && !made_.contains(name)) foreign += " " + name;
    }
    ::if_freenameindex(interfaces);
    if (!foreign.empty()) {
        throw std::logic_error("namespace holds interfaces the test did not make:" + foreign +
                               "; refusing");
    }
}

void NetworkSandbox::addUplink(const UplinkOptions& options) {
    makeDirectory("/run/netns");
    must("ip netns add outside");
    must("ip link add veth0 type veth peer name veth1 netns outside");
    adopt("veth0");
    requireFresh();
    must("ip addr add 192.0.2.10/24 dev veth0 && ip addr add 10.8.1.10/24 dev veth0");
    must("ip link set veth0 up");
    must(
        "ip netns exec outside sh -ec 'ip link set lo up; ip addr add 192.0.2.1/24 dev veth1;"
        " ip addr add 10.8.1.1/24 dev veth1; ip link set veth1 up'");
    if (options.ipv6) {
        must("ip addr add 2001:db8::10/64 dev veth0 nodad");
        must(
            "ip netns exec outside sh -ec 'ip addr add fe80::1/64 dev veth1 nodad;"
            " ip addr add 2001:db8::1/64 dev veth1 nodad'");
    }
    must("ip route add default via 192.0.2.1");
    if (options.ipv6) {
        must("ip -6 route add default via fe80::1 dev veth0 metric " +
             std::to_string(options.ipv6Metric));
    }
}

void NetworkSandbox::addSecondUplink() {
    must("ip link add veth2 type veth peer name veth3 netns outside");
    adopt("veth2");
    requireFresh();
    must("ip addr add 198.51.100.10/24 dev veth2 && ip link set veth2 up");
    mustOutside("ip addr add 198.51.100.1/24 dev veth3; ip link set veth3 up");
}

void NetworkSandbox::addTunnel() {
    adopt("tun0");
    must("ip tuntap add tun0 mode tun && ip link set tun0 up");
    must("ip addr add 10.8.0.2/24 dev tun0 && ip addr add fd42::2/64 dev tun0 nodad");
}

bool routeGroupWatched(unsigned group) {
    std::istringstream table(readFile("/proc/self/net/netlink"));
    std::string line;
    std::getline(table, line);  // the heading
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

void NetworkSandbox::hideRouteProgram() {
    for (const char* dir : {"/usr/sbin", "/usr/bin"}) {
        struct stat st {};
        if (::stat((std::string(dir) + "/route").c_str(), &st) != 0) continue;
        const std::string name = std::string(dir) == "/usr/sbin" ? "sbin" : "bin";
        const std::string upper = scratch_ + "/" + name + "-upper";
        const std::string work = scratch_ + "/" + name + "-work";
        makeDirectory(upper);
        makeDirectory(work);
        // A character device 0/0 in the upper layer hides the lower layer's file.
        if (::mknod((upper + "/route").c_str(), S_IFCHR | 0000, makedev(0, 0)) != 0) fail("mknod");
        mountOrFail("overlay", dir, "overlay", 0,
                    std::string("lowerdir=") + dir + ",upperdir=" + upper + ",workdir=" + work);
    }
    struct stat st {};
    if (::stat("/sbin/route", &st) == 0 || ::stat("/usr/bin/route", &st) == 0) {
        throw std::runtime_error("route is still visible");
    }
}

void NetworkSandbox::mountTmpfs(const std::string& target, const std::string& options) {
    struct stat original {};
    if (::fstat(originalMount_, &original) != 0) fail("fstat");
    if (namespaceInode("/proc/self/ns/mnt") == original.st_ino) {
        throw std::logic_error("not in a mount namespace of the test's own; refusing to mount " +
                               target);
    }
    mountOrFail("tmpfs", target, "tmpfs", 0, options);
}

std::vector<std::string> NetworkSandbox::routes4() const {
    return lines(must("ip route show"));
}
std::vector<std::string> NetworkSandbox::routes6() const {
    return lines(must("ip -6 route show"));
}

bool NetworkSandbox::hasRoute4(const std::string& line) const {
    const auto all = routes4();
    return std::find(all.begin(), all.end(), line) != all.end();
}

bool NetworkSandbox::hasRoute6(const std::string& line) const {
    const auto all = routes6();
    return std::find(all.begin(), all.end(), line) != all.end();
}

int NetworkSandbox::countRoutes4(const std::string& prefix) const {
    const auto all = routes4();
    return static_cast<int>(std::count_if(
        all.begin(), all.end(), [&](const std::string& l) { return l.starts_with(prefix); }));
}

int NetworkSandbox::countRoutes6(const std::string& prefix) const {
    const auto all = routes6();
    return static_cast<int>(std::count_if(
        all.begin(), all.end(), [&](const std::string& l) { return l.starts_with(prefix); }));
}

Daemon::~Daemon() {
    stop();
}

void Daemon::start(bool waitForPort) {
    if (activeSandbox == nullptr)
        throw std::logic_error("refusing to start telvord outside a sandbox");
    activeSandbox->requireFresh();
    ::unlink(portFile);
    const std::string binary = binary_;
    pid_ = ::fork();
    if (pid_ < 0) fail("fork");
    if (pid_ == 0) {
        ::setpgid(0, 0);
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        // As a service manager starts it: with its standard streams and nothing else.
        ::close_range(3, ~0u, 0);
        ::execl(binary.c_str(), "telvord", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::setpgid(pid_, pid_);
    if (!waitForPort) return;
    const bool published = eventually(
        [&] {
            telvorctl::Error error{};
            const auto port = telvorctl::readPortFile(portFile, error);
            if (port) port_ = *port;
            return port.has_value() && acceptQueue(*port).has_value();
        },
        10s);
    if (!published) throw std::runtime_error("telvord did not publish its port");
}

void Daemon::kill(int signal) {
    if (pid_ > 0) ::kill(-pid_, signal);
}

std::optional<int> Daemon::waitExit(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return std::nullopt;
    int status = 0;
    const bool ended =
        eventually([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, timeout);
    if (!ended) return std::nullopt;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Daemon::running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

void Daemon::stop() {
    if (pid_ <= 0) return;
    kill(SIGTERM);
    if (!waitExit(5s)) {
        kill(SIGKILL);
        waitExit(5s);
    }
    // Whatever it started shares its process group.
    ::kill(-pid_, SIGKILL);
    pid_ = -1;
}

telvorctl::Connection Daemon::connect() const {
    telvorctl::Error error{};
    auto connection = telvorctl::Connection::open(port_, error);
    if (!connection) throw std::runtime_error("cannot connect: " + error.message);
    return std::move(*connection);
}

std::vector<std::string> Daemon::send(const std::vector<std::string>& arguments) const {
    std::vector<telvorctl::Command> commands;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const telvorctl::CommandEntry* entry = telvorctl::findCommand(arguments[i]);
        if (entry == nullptr) throw std::logic_error("unknown command " + arguments[i]);
        telvorctl::Command command{entry, {}};
        if (entry->takesArgument) command.argument = arguments.at(++i);
        commands.push_back(command);
    }
    telvorctl::Connection connection = connect();
    telvorctl::Error error{};
    std::vector<std::string> replies;
    for (const auto& command : commands) {
        const auto frame = command.entry->keyword.empty() ? telvorctl::rawFrame(command.argument)
                                                          : telvorctl::buildFrame(command);
        if (!connection.send(frame, error)) throw std::runtime_error(error.message);
        if (command.entry->keyword == "commandline:") {
            const auto reply = connection.receiveReply(error);
            if (!reply) throw std::runtime_error(error.message);
            replies.push_back(*reply);
        }
    }
    if (!connection.finish(30s, error)) throw std::runtime_error(error.message);
    return replies;
}

std::vector<std::string> Daemon::messages() const {
    return logMessages();
}

bool Daemon::logged(const std::string& message) const {
    return countLogged(message) > 0;
}

int Daemon::countLogged(const std::string& message) const {
    const auto all = messages();
    return static_cast<int>(std::count(all.begin(), all.end(), message));
}

bool Daemon::waitLogged(const std::string& message, std::chrono::milliseconds timeout) const {
    return eventually([&] { return logged(message); }, timeout);
}

std::vector<pid_t> Daemon::launchedPids() const {
    static const std::string prefix = "OpenVpn started with PID ";
    std::vector<pid_t> pids;
    for (const std::string& message : messages()) {
        if (!message.starts_with(prefix) || message.find(' ', prefix.size()) != std::string::npos)
            continue;
        pids.push_back(std::stoi(message.substr(prefix.size())));
    }
    return pids;
}

FakeOpenVpn::FakeOpenVpn(std::string directory) : directory_(std::move(directory)) {
    makeDirectory(directory_);
    makeDirectory(directory_ + "/records");
    if (::chmod(directory_.c_str(), 0755) != 0) fail("chmod " + directory_);
    const std::string program = path();
    std::filesystem::copy_file(fakeOpenVpnBinary(), program,
                               std::filesystem::copy_options::overwrite_existing);
    if (::chown(program.c_str(), 0, 0) != 0 || ::chmod(program.c_str(), 0755) != 0) {
        fail("install " + program);
    }
}

namespace {

void setFlag(const std::string& flag, bool yes) {
    if (yes) {
        writeFile(flag, "");
    } else {
        ::unlink(flag.c_str());
    }
}

}  // namespace

void FakeOpenVpn::exitAtOnce(bool yes) const {
    setFlag(directory_ + "/exit-at-once", yes);
}

void FakeOpenVpn::ignoreTerm(bool yes) const {
    setFlag(directory_ + "/ignore-term", yes);
}

std::optional<LaunchRecord> FakeOpenVpn::record(pid_t pid) const {
    std::ifstream in(directory_ + "/records/" + std::to_string(pid));
    if (!in) return std::nullopt;
    LaunchRecord record;
    record.pid = pid;
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t space = line.find(' ');
        const std::string key = line.substr(0, space);
        const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
        if (key == "arg") record.argv.push_back(value);
        if (key == "cwd") record.workingDirectory = value;
        if (key == "fd") record.descriptors.push_back(value);
    }
    return record;
}

std::vector<LaunchRecord> FakeOpenVpn::records() const {
    std::vector<pid_t> pids;
    for (const auto& entry : std::filesystem::directory_iterator(directory_ + "/records")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") == std::string::npos) {
            pids.push_back(std::stoi(name));
        }
    }
    std::sort(pids.begin(), pids.end());
    std::vector<LaunchRecord> result;
    for (const pid_t pid : pids) {
        if (auto r = record(pid)) result.push_back(std::move(*r));
    }
    return result;
}

std::optional<LaunchRecord> FakeOpenVpn::waitRecord(pid_t pid) const {
    std::optional<LaunchRecord> found;
    eventually([&] { return (found = record(pid)).has_value(); });
    return found;
}

}  // namespace systest
