#pragma once

// The host under test, inside the namespace fixture (fixture.h): the uplink veth0 with its
// gateways, the tunnel device tun0 held open by the program, the default routes, and the daemon
// as shipped, run from the build tree with its files on tmpfs and an overlay of /etc and driven
// with telvorctl as a client would.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "netlink/address.h"
#include "util/unique_fd.h"

namespace bench {

// The uplink's gateways, and the tunnel's.
inline const netlink::Address uplink4 = *netlink::Address::parse("192.0.2.1", AF_INET);
inline const netlink::Address uplink6 = *netlink::Address::parse("fe80::1", AF_INET6);
inline const netlink::Address tunnel4 = *netlink::Address::parse("10.8.0.1", AF_INET);
inline const netlink::Address tunnel6 = *netlink::Address::parse("fd42::1", AF_INET6);
// The tunnel's own addresses, on tun0.
inline const netlink::Address tunnelOwn4 = *netlink::Address::parse("10.8.0.2", AF_INET);
inline const netlink::Address tunnelOwn6 = *netlink::Address::parse("fd42::2", AF_INET6);
// Addresses on the internet, behind the uplink's gateways.
inline const netlink::Address far4 = *netlink::Address::parse("203.0.113.1", AF_INET);
inline const netlink::Address far6 = *netlink::Address::parse("2001:db8:ffff::1", AF_INET6);
// The VPN server, and while connecting the DNS server of `dnsaddress:`, which the daemon gives
// host routes through the uplink's gateway.
inline const netlink::Address server4 = *netlink::Address::parse("198.51.100.7", AF_INET);
inline const netlink::Address dnsServer4 = *netlink::Address::parse("203.0.113.53", AF_INET);

// The benchmarks' datagrams are UDP whose payload starts with this text (its NUL included).
constexpr char streamMarker[] = "telvord";
// The family of a packet (IP header first) that carries one of those datagrams.
std::optional<int> streamFamily(const unsigned char* packet, std::size_t size);

// Enters the fixture's namespaces and makes the host: the uplink with its default routes, the
// daemon's files, and the tunnel, whose descriptor it returns.
util::unique_fd setUpHost();

// The daemon's files on the program's own mounts: /etc as an overlay, tmpfs below /var and /run.
void prepareDaemonFiles();
// Pins the gateways' addresses to veth1 as permanent neighbours: nobody needs to answer.
void setUpUplink();
// The tunnel device (10.8.0.2/24, fd42::2/64), up while the descriptor is held.
util::unique_fd openTunnel();

// The program's own rtnetlink requests.
int control();
// Removes every default route of the main table, and the IPv6 blackhole.
void removeMainDefaults();
// The uplink's own default routes, as the host had them before any configuration.
void restorePhysicalDefaults();

// Lockdown; lockdown while connecting (`prepareforconnect` with the server's and the DNS server's
// addresses, no tunnel yet); connected, in lockdown or in forced mode.
enum class Mode { lockdown, lockdownConnecting, lockdownConnected, forcedConnected };

void startDaemon(bool lockdown);
// Stops the daemon with `signal`, if it runs.
void stopDaemon(int signal);
void telvorctl(std::vector<std::string> words);
// The running daemon's resident memory from /proc: "VmRSS 8.9 MiB (RssAnon 2.1, RssFile 6.8)";
// its own heap and stacks are the anonymous part, the shared libraries' pages the file part.
std::string daemonMemory();
// Waits until route netlink sockets listen to both families' route groups.
void waitForWatchers();
// Starts the daemon and brings it into `mode` (with the resolver replaced when asked, while
// connected), and waits until its kill switch holds and its watchers listen.
void enterMode(Mode mode, bool replaceDns = false);
// Takes the daemon (or, after SIGKILL, a new one that resumes from the state file) out of its
// mode: closes the connection, disables lockdown, stops it, and gives the uplink its default
// routes back.
void leaveMode();

}  // namespace bench
