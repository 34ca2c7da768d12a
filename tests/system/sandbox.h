#pragma once

// Test hosts for the real daemon. A NetworkSandbox puts the test process into fresh network and
// mount namespaces (the daemon and every program the test starts inherit them), overlays /etc,
// mounts tmpfs on /var/tmp, /var/log and /run, and builds an uplink to a second namespace,
// "outside", that plays the physical gateway. It refuses to touch a route unless it stands in
// a network namespace that it made itself and that holds only its own interfaces.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "client.h"
#include "util/unique_fd.h"

namespace systest {

using namespace std::chrono_literals;

struct CommandResult {
    int status;          // exit status, or -1 when the program did not exit normally
    std::string output;  // standard output and standard error
};

// Runs a shell command line of the test's own and returns its status and output.
CommandResult sh(const std::string& command);
// Runs it and fails the test when it does not exit with 0.
std::string must(const std::string& command);
// The same, run in the namespace "outside" that plays the physical gateway's side.
CommandResult shOutside(const std::string& command);
std::string mustOutside(const std::string& command);
// `text` as one word of a shell command line.
std::string shellQuoted(const std::string& text);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

// Polls `condition` every `interval` until it holds or `timeout` passes; returns whether it
// held.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5s,
                std::chrono::milliseconds interval = 10ms);

// The connections waiting to be accepted by the socket listening on 127.0.0.1:`port`; none
// when nothing listens there.
std::optional<int> acceptQueue(int port);

// A connection to the daemon's port on 127.0.0.1 whose socket is owned by the user `uid`, as
// the daemon sees who made it; this process holds it.
util::unique_fd connectAs(uid_t uid, int port);
// Whether the peer closes `socket` within `timeout`.
bool closedByPeer(int socket, std::chrono::milliseconds timeout = 5s);

// A resolver file of about `size` bytes, with a numbered line per 64 bytes.
std::string resolverText(std::size_t size);
// Writes `path` until the file system holding it has no room left.
void fillFileSystem(const std::string& path);

// A UDP socket in the namespace "outside", bound to every address of both families at `port`:
// what arrives there has crossed the uplink.
util::unique_fd farReceiver(std::uint16_t port);
// The LAN's own host on the uplink's link, in the private ranges that lockdown lets reach:
// 10.8.1.1 beside the documentation prefix 192.0.2.0/24, and the gateway's link-local address.
constexpr const char* lanPeer = "10.8.1.1";
constexpr const char* lanPeer6 = "fe80::1%veth0";

// Sends `count` datagrams from `socket` to `address` (IPv4 or IPv6 text, with "%DEVICE" for a
// link-local one) at `port`; a send that fails is not retried.
void sendDatagrams(int socket, const std::string& address, std::uint16_t port, int count,
                   const std::string& payload = "leak");
// How many datagrams `receiver` got before one reading `marker`, which the caller sent last
// over a way known to work; throws when the marker never comes.
int countBeforeMarker(int receiver, const std::string& marker);

// A program on the test's side of the uplink, ended with the test together with every process
// it started: dhcpcd's privilege-separated helpers outlive a dhcpcd that ends while it is still
// setting them up, so the program runs in a process group of its own. Its output goes to `log`.
class Program {
  public:
    Program(const std::vector<std::string>& argv, const std::string& log);
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
};

struct UplinkOptions {
    bool ipv6 = true;            // 2001:db8::10/64 with a link-local default gateway
    unsigned ipv6Metric = 1024;  // metric of the IPv6 default route
};

// Whether a route netlink socket of this namespace listens to the notification group `group`
// (RTMGRP_IPV4_ROUTE, RTMGRP_IPV6_ROUTE): whether route watchers run.
bool routeGroupWatched(unsigned group);

class NetworkSandbox {
  public:
    NetworkSandbox();
    ~NetworkSandbox();
    NetworkSandbox(const NetworkSandbox&) = delete;
    NetworkSandbox& operator=(const NetworkSandbox&) = delete;

    // veth0 (192.0.2.10/24 and the private 10.8.1.10/24) with "default via 192.0.2.1"; the peer
    // veth1 (192.0.2.1/24, 10.8.1.1/24) lives in the namespace "outside". With IPv6:
    // 2001:db8::10/64 on veth0, fe80::1 and 2001:db8::1/64 on veth1, and "default via fe80::1 dev
    // veth0".
    void addUplink(const UplinkOptions& options = {});
    // A second uplink to "outside", as a laptop's wireless beside its wired one: veth2
    // (198.51.100.10/24) whose peer veth3 holds 198.51.100.1/24. It adds no route.
    void addSecondUplink();
    // Hides the `route` program, so that the daemon uses the `ip` form.
    void hideRouteProgram();
    // A tunnel device as a VPN client leaves it: tun0 with 10.8.0.2/24 and fd42::2/64, up.
    void addTunnel();
    // Mounts a tmpfs with `options` on `target`; refuses unless this process stands in the
    // sandbox's own mount namespace, so that the host never sees it.
    void mountTmpfs(const std::string& target, const std::string& options);

    // Throws unless this is a namespace of ours holding only our interfaces.
    void requireFresh() const;
    // Notes an interface this test made, so that requireFresh accepts it.
    void adopt(const std::string& interface) { made_.insert(interface); }

    // The lines of "ip route" and "ip -6 route" for the main table.
    std::vector<std::string> routes4() const;
    std::vector<std::string> routes6() const;
    bool hasRoute4(const std::string& line) const;
    bool hasRoute6(const std::string& line) const;
    int countRoutes4(const std::string& prefix) const;
    int countRoutes6(const std::string& prefix) const;

    const std::string& scratch() const { return scratch_; }

  private:
    void enter();
    void leave();
    // Kills what the test left running in "outside" (a daemonised server, say), by PID.
    void endOutsideProcesses();

    std::string scratch_;  // a tmpfs of this sandbox's own
    int originalNet_ = -1;
    int originalMount_ = -1;
    std::set<std::string> made_;
};

// The daemon binary, telvorctl, the lockdown at boot and the stand-in for OpenVPN of this build,
// and the daemon with a fault point the crash tests arm (crash_fault_point.cpp).
std::string daemonBinary();
std::string crashableDaemonBinary();
std::string telvorctlBinary();
std::string lockdownAtBootBinary();
std::string fakeOpenVpnBinary();

// The daemon under test, started from the build tree.
class Daemon {
  public:
    static constexpr const char* logFile = "/var/log/telvor.clientd.log";
    static constexpr const char* portFile = "/var/tmp/telvor.clientd.port";

    Daemon() = default;
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // The program the next start runs: telvord of this build unless a test chose another.
    void setBinary(std::string path) { binary_ = std::move(path); }
    // Starts telvord and waits for its port file. With waitForPort false it only starts it.
    void start(bool waitForPort = true);
    // Ends it with SIGTERM (then SIGKILL) together with everything it started.
    void stop();
    void kill(int signal);
    // Waits for the daemon to exit by itself and returns its exit status (or -1).
    std::optional<int> waitExit(std::chrono::milliseconds timeout = 10s);
    bool running();
    pid_t pid() const { return pid_; }
    int port() const { return port_; }

    telvorctl::Connection connect() const;
    // Sends the commands in one connection and waits until the daemon has handled them. A
    // "commandline" command's reply is returned.
    std::vector<std::string> send(const std::vector<std::string>& arguments) const;

    // The messages of the debug log, without their time prefix.
    std::vector<std::string> messages() const;
    bool logged(const std::string& message) const;
    int countLogged(const std::string& message) const;
    bool waitLogged(const std::string& message, std::chrono::milliseconds timeout = 5s) const;
    // The PIDs of the OpenVPN children it reported started, oldest first.
    std::vector<pid_t> launchedPids() const;

  private:
    std::string binary_ = daemonBinary();
    pid_t pid_ = -1;
    int port_ = 0;
};

// What the stand-in for OpenVPN (fake_openvpn.cpp) found when it started.
struct LaunchRecord {
    pid_t pid = -1;
    std::vector<std::string> argv;
    std::string workingDirectory;
    std::vector<std::string> descriptors;  // "NUMBER TARGET" for each open descriptor
};

// The stand-in for OpenVPN, installed as <directory>/openvpn: owned by root, mode 0755, in a
// directory of its own with mode 0755, so that the daemon trusts it. Every start of it leaves a
// record in <directory>/records; it then runs until a signal ends it (SIGTERM ignored when
// asked), or exits at once.
class FakeOpenVpn {
  public:
    explicit FakeOpenVpn(std::string directory);

    const std::string& directory() const { return directory_; }
    std::string path() const { return directory_ + "/openvpn"; }
    // Whether later starts exit right after recording.
    void exitAtOnce(bool yes) const;
    // Whether later starts ignore SIGTERM, as an OpenVPN stuck in its own close might.
    void ignoreTerm(bool yes) const;

    // The records of every start so far, oldest PID first.
    std::vector<LaunchRecord> records() const;
    std::optional<LaunchRecord> record(pid_t pid) const;
    // Waits for the record of `pid`.
    std::optional<LaunchRecord> waitRecord(pid_t pid) const;

  private:
    std::string directory_;
};

}  // namespace systest
