#pragma once

// The egress guard's nftables table, rendered from a plain description by pure functions, and
// the kernel's answers about it read back. Nothing from outside reaches the text as a word of
// its own: interfaces are written by index, addresses as the address family's canonical text,
// prefix lengths as numbers, so that no interface name or address text can add a statement.
//
// The table holds base chains on the output and forward hooks. Each first accepts what leaves
// through the tunnel (by interface index: the cheapest match, decided before anything else)
// and, on output, loopback; everything else goes to the chain "uplink", which accepts the VPN
// server, the DNS servers that have host routes while connecting, the on-link prefixes of the
// uplinks, link-local, broadcast and link-scope multicast destinations, DHCP and IPv6
// neighbour discovery, and refuses the rest: counted, TCP with a reset, everything else with
// an ICMP "administratively prohibited", so that programs fail at once.

#include <compare>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "netlink/address.h"

namespace guard {

// The table: its family and name, documented in telvord(8) and removed by the package.
inline constexpr std::string_view tableFamily = "inet";
inline constexpr std::string_view tableName = "telvord";
// The named counter of refused packets.
inline constexpr std::string_view refusedCounter = "refused";
// The loopback device's index, the same in every network namespace.
inline constexpr unsigned loopbackIndex = 1;

// An address the host holds on an interface, with its prefix length.
struct InterfaceAddress {
    unsigned interface = 0;
    netlink::Address address;
    unsigned prefixLength = 0;
    bool hostScope = false;  // valid on this host only (127.0.0.1, ::1)
};

// A destination prefix on the link of one interface.
struct Prefix {
    unsigned interface = 0;
    netlink::Address network;  // host bits cleared
    unsigned length = 0;
    auto operator<=>(const Prefix&) const = default;
};

// Prefixes wider than these are not taken as a LAN: a DHCP server that hands out an address
// with a netmask of 128.0.0.0 must not make half of the internet a neighbour. A hostile LAN
// can still name one such prefix of its choice its own (docs/security.md).
inline constexpr unsigned widestLan4 = 16;
inline constexpr unsigned widestLan6 = 32;
// At most this many LAN prefixes are rendered: a network that gives the host ever more
// addresses cannot grow the table without bound.
inline constexpr std::size_t maxLanPrefixes = 64;

// The on-link prefixes of the uplinks: of the addresses on every interface but loopback and
// the tunnels, those valid beyond the host, no wider than the limits above and not IPv6
// link-local (which the link-local rule passes anyway), sorted and each once.
std::vector<Prefix> lanPrefixes(std::span<const InterfaceAddress> addresses,
                                std::span<const unsigned> tunnels);

// What the guard lets pass besides the LAN.
struct Description {
    std::vector<unsigned> tunnels;             // interfaces that carry everything
    std::vector<netlink::Address> servers;     // VPN servers, on any interface
    std::vector<netlink::Address> dnsServers;  // DNS servers with host routes (connecting)
    std::vector<Prefix> lan;                   // from lanPrefixes
    bool dnsConfined = false;                  // DNS refused outside the tunnels
    bool operator==(const Description&) const = default;
};

// The commands that make the table hold `description` in one transaction: the table is
// declared (so that it exists), flushed and filled. The refused-packet counter survives,
// while a table that did not exist begins with it at 0.
std::string renderRuleset(const Description& description);
// The commands that remove the table, whether it exists or not.
std::string removalCommands();
// The commands that list the table, and its counter.
std::string listCommands();
std::string counterCommands();

// The packet count of the counter in the listing of `counterCommands`; none when it holds
// none.
std::optional<std::uint64_t> parseCounter(std::string_view listing);
// A table listing with its counts blanked, so that two listings of the same rules compare
// equal however much traffic they counted.
std::string withoutCounts(std::string_view listing);

// The addresses of the RTM_NEWADDR messages of one datagram (a dump's or a notification's).
void parseAddresses(std::span<const std::byte> datagram, std::vector<InterfaceAddress>& into);
// Whether one datagram of nf_tables notifications tells of a change to the table (its own
// deletion, or a change to its chains, rules, sets or objects).
bool touchesTable(std::span<const std::byte> datagram);

}  // namespace guard
