#pragma once

// The namespace fixture the benchmarks share. enterNamespaces() moves the program into fresh
// network and mount namespaces (with a tmpfs on /tmp and a /dev of its own, less /dev/log),
// and setUpNetwork() makes the veth pair veth0 (192.0.2.10/24, 2001:db8::10/64) and veth1. Every
// command and route change first checks, through requireFresh(), that the program stands in a
// network namespace other than the one it started in that holds only interfaces it made; it
// exits with status 2 otherwise.

#include <linux/rtnetlink.h>

#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
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

// The interfaces the program made; requireFresh() accepts no other.
extern std::set<std::string> madeInterfaces;
void requireFresh();

int spawnAndWait(std::vector<std::string> words);
// Runs a set-up command, inside the fresh namespace only; dies when it fails.
void must(const std::vector<std::string>& words);

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
