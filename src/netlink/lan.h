#pragma once

// The host's addresses as the kernel tells them, and what of them is the LAN: the destinations
// outside the tunnel that lockdown lets traffic reach. The egress guard and the kill switch's
// rules both take it from here, from the same addresses, so that they never disagree about it.

#include <compare>
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "core/config.h"
#include "netlink/address.h"

namespace netlink {

// An address the host holds on an interface, with its prefix length.
struct InterfaceAddress {
    unsigned interface = 0;
    Address address;  // the peer's on a point-to-point link, whose prefix is the link's
    unsigned prefixLength = 0;
    bool hostScope = false;          // valid on this host only (127.0.0.1, ::1)
    std::optional<Address> local{};  // the host's own, where it differs from `address`
    // The address the host itself holds.
    const Address& own() const { return local ? *local : address; }
};

// A destination prefix on the link of one interface.
struct Prefix {
    unsigned interface = 0;
    Address network;  // host bits cleared
    unsigned length = 0;
    auto operator<=>(const Prefix&) const = default;
};

// `address` with every bit from `length` on cleared.
Address masked(Address address, unsigned length);
// Whether `prefix` lies inside `range` (the interface aside).
bool within(const Prefix& prefix, const Prefix& range);

// The link-local range of a family: 169.254.0.0/16 or fe80::/10.
Prefix linkLocalRange(int family);

// On-link prefixes wider than these are not taken as the LAN by `lan=onlink`, nor as the link
// that DHCP and neighbour discovery may reach: a DHCP server that hands out an address with a
// netmask of 128.0.0.0 must not make half of the internet a neighbour.
inline constexpr unsigned widestOnLink4 = 16;
inline constexpr unsigned widestOnLink6 = 32;
// At most this many prefixes are taken: a network that gives the host ever more addresses
// cannot grow the guard's table or the kill switch's rules without bound.
inline constexpr std::size_t maxLanPrefixes = 64;

// The on-link prefixes of the uplinks: of the addresses on every interface but loopback and
// `tunnels`, those valid beyond the host, no wider than the limits above and not IPv6
// link-local (a range of its own), sorted and each once.
std::vector<Prefix> onLinkPrefixes(std::span<const InterfaceAddress> addresses,
                                   std::span<const unsigned> tunnels);
// The LAN as `lan` says: the on-link prefixes that lie inside the private ranges (10.0.0.0/8,
// 172.16.0.0/12, 192.168.0.0/16, 169.254.0.0/16, fc00::/7, fe80::/10), however wide the range
// lets them be; all on-link prefixes; or none.
std::vector<Prefix> lanPrefixes(std::span<const InterfaceAddress> addresses,
                                std::span<const unsigned> tunnels, core::Lan lan);

// The addresses of the RTM_NEWADDR messages of one datagram (a dump's or a notification's).
void parseAddresses(std::span<const std::byte> datagram, std::vector<InterfaceAddress>& into);
// The addresses the host holds now; none when they cannot be read.
std::optional<std::vector<InterfaceAddress>> dumpAddresses();

}  // namespace netlink
