#pragma once

// The egress guard's nftables table, rendered from a plain description by pure functions, and
// the kernel's answers about it read back. Nothing from outside reaches the text as a word of
// its own: interfaces are written by index, addresses as the address family's canonical text,
// prefix lengths as numbers, so that no interface name or address text can add a statement.
//
// The table holds base chains on the output and forward hooks. Each first accepts what leaves
// through the tunnel (by interface index: the cheapest match, decided before anything else)
// and, on output, loopback. Everything else goes to the chain "uplink", which both share: the
// VPN server for OpenVPN's marked packets only, DNS alone to the DNS servers that have host
// routes while connecting, and the LAN (core::Lan), each next hop inside the LAN. Only locally
// made packets then go to the chain "link": link-local, broadcast and link-scope multicast
// destinations whose next hop is on the link itself, and DHCP and IPv6 neighbour discovery to
// link-scope and on-link destinations. What no rule passes is refused: counted, TCP with a
// reset, everything else with an ICMP "administratively prohibited", so that programs fail at
// once. A base chain on the prerouting hook drops, unanswered, what arrives for the tunnel's
// own addresses through any interface but loopback and the tunnel.

#include <compare>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "netlink/address.h"
#include "netlink/lan.h"

namespace guard {

// The table: its family and name, documented in telvord(8) and removed by the package.
inline constexpr std::string_view tableFamily = "inet";
inline constexpr std::string_view tableName = "telvord";
// The named counter of refused packets.
inline constexpr std::string_view refusedCounter = "refused";
// The loopback device's index, the same in every network namespace.
inline constexpr unsigned loopbackIndex = 1;

using netlink::Prefix;

// What the guard lets pass, and what it keeps from arriving.
struct Description {
    std::vector<unsigned> tunnels{};                  // interfaces that carry everything
    std::vector<netlink::Address> tunnelAddresses{};  // reached only through the tunnels
    std::vector<netlink::Address> servers{};          // VPN servers, for OpenVPN's packets
    std::vector<netlink::Address> dnsServers{};       // DNS servers with host routes (connecting)
    std::vector<Prefix> lan{};                        // netlink::lanPrefixes, as lan= says
    std::vector<Prefix> onLink{};                     // netlink::onLinkPrefixes: DHCP, ND
    bool linkScope = true;     // link-local, broadcast, link-scope multicast on the link
    bool dnsConfined = false;  // DNS refused outside the tunnels
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

// Whether one datagram of nf_tables notifications tells of a change to the table (its own
// deletion, or a change to its chains, rules, sets or objects).
bool touchesTable(std::span<const std::byte> datagram);

}  // namespace guard
