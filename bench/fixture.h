#pragma once

// The namespace fixture the benchmarks share. enterNamespaces() moves the program into fresh
// network and mount namespaces (with a tmpfs on /tmp and a /dev of its own, less /dev/log),
// and setUpNetwork() makes the veth pair veth0 (192.0.2.10/24, 2001:db8::10/64, and on the same
// link the private LAN's 10.8.1.10/24) and veth1. Every command and route change first checks,
// through requireFresh(), that the program stands in a network namespace other than the one it
// started in that holds only interfaces it made; it exits with status 2 otherwise.

#include <linux/rtnetlink.h>
#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "netlink/address.h"
#include "routing/kernel.h"
#include "util/unique_fd.h"

namespace bench {

// Named in every message of die().
extern const char* programName;
constexpr const char* scratch = "/tmp";  // a tmpfs of the program's own mount namespace
constexpr std::uint32_t routeMetric = 100;

[[noreturn]] void die(const std::string& what);
[[noreturn]] void dieErrno(const std::string& what);
// The number that follows option `i` of the command line (`i` then names it), when it is at
// least `minimum`; `usage` ends the program otherwise.
int numberArgument(int argc, char** argv, int& i, int minimum, void (*usage)());
// An option of the command line that takes a number of at least `minimum`.
struct NumberOption {
    std::string_view name;
    int* value;
    int minimum = 1;
};
// Reads a command line made of such options only; `usage` ends the program at anything else.
void parseNumberOptions(int argc, char** argv, std::initializer_list<NumberOption> options,
                        void (*usage)());

// The time of the run, for the heading of a report: "YYYY-MM-DD HH:MM UTC".
std::string utcNow();

// The interfaces the program made; requireFresh() accepts no other.
extern std::set<std::string> madeInterfaces;
void requireFresh();

// Starts `words` (the program is searched in PATH), with its output appended to `log` unless that
// is empty; -1 when it cannot be started.
pid_t spawn(std::vector<std::string> words, const std::string& log = {});
int spawnAndWait(std::vector<std::string> words);
// Runs a set-up command, inside the fresh namespace only; dies when it fails.
void must(const std::vector<std::string>& words);
// Polls `condition` every 5 ms until it holds (true) or `limit` has passed (false).
bool holdsWithin(const std::function<bool()>& condition, std::chrono::milliseconds limit);
// The same, but dies when `condition` has not held within `limit`.
void waitFor(const std::function<bool()>& condition, const std::string& what,
             std::chrono::milliseconds limit = std::chrono::seconds(10));

// A program the benchmark started, inside the fresh namespace only; stopped with SIGTERM and
// reaped when it goes out of scope.
class Child {
  public:
    explicit Child(std::vector<std::string> words, const std::string& log = {});
    Child(Child&& other) noexcept : pid_(other.pid_) { other.pid_ = -1; }
    Child& operator=(Child&&) = delete;
    ~Child() { stop(SIGTERM); }
    // Sends `signal` and reaps the program; nothing once it has been stopped.
    void stop(int signal);
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
};

// A further network namespace of the program's own, made with `ip netns add`. Its handle lives
// below /run, which must be a mount of the program's own by then: it goes when the program ends.
class NetNamespace {
  public:
    explicit NetNamespace(std::string name);
    const std::string& name() const { return name_; }
    // The command that runs `words` inside it.
    std::vector<std::string> exec(std::vector<std::string> words) const;

  private:
    std::string name_;
};

// Holds the calling thread inside `space` while it lives, so that the sockets made meanwhile
// belong there.
class Inside {
  public:
    explicit Inside(const NetNamespace& space);
    Inside(const Inside&) = delete;
    Inside& operator=(const Inside&) = delete;
    ~Inside();

  private:
    util::unique_fd home_;
};

// A path that leads to the program at `path` also once the program's own /tmp covers the
// host's, where a checkout under /tmp keeps its build: /proc/self/fd/N of a descriptor opened
// now, before enterNamespaces, and kept for the program's life.
std::string reachable(const std::string& path);

// Enters fresh namespaces, as root only.
void enterNamespaces();
void setUpNetwork();
extern unsigned vethIndex;

// A route notification: the route and whether it came or went.
struct RouteMessage : routing::RouteInfo {
    std::uint16_t type = 0;  // RTM_NEWROUTE or RTM_DELROUTE
};

std::optional<RouteMessage> parseRoute(std::uint16_t type, std::span<const std::byte> message);
util::unique_fd openRtnetlink(unsigned groups);
// Sends a request on `fd` and returns the error code of its acknowledgement (0 for success).
int exchange(int fd, std::span<const std::byte> request, std::uint32_t sequence);
std::uint32_t nextSequence();
// Lets only RTM_DELROUTE messages reach `fd`.
void acceptOnlyRemovals(int fd);
// Adds or deletes "default via GATEWAY dev veth0 metric PRIORITY" in the main table.
int changeDefaultRoute(int fd, bool add, const netlink::Address& gateway,
                       std::uint32_t priority = routeMetric, unsigned interface = 0,
                       unsigned char protocol = RTPROT_BOOT);
// The routes of one family, all tables; the default routes of the main table.
std::vector<routing::RouteInfo> dumpRoutes(int family);
std::vector<routing::RouteInfo> mainDefaultRoutes(int family);

}  // namespace bench
