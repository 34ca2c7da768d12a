#include "guard/ruleset.h"

#include <linux/if_addr.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/rtnetlink.h>

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "core/marks.h"
#include "netlink/bytes.h"

namespace guard {
namespace {

using netlink::Address;

const std::string table = std::string(tableFamily) + " " + std::string(tableName);

unsigned bits(int family) {
    return static_cast<unsigned>(Address::size(family) * 8);
}

bool usable(const Address& address) {
    return address.family == AF_INET || address.family == AF_INET6;
}

const char* ip(int family) {
    return family == AF_INET6 ? "ip6" : "ip";
}

std::string rule(const std::string& text) {
    return "\t\t" + text + "\n";
}

// "ip daddr 192.0.2.0/24", and the same for the route's next hop: inside the prefix, it is the
// destination itself (an on-link route) or a neighbour on the link.
std::string destinationIn(const Prefix& prefix) {
    const int family = prefix.network.family;
    const std::string text =
        netlink::masked(prefix.network, prefix.length).text() + "/" + std::to_string(prefix.length);
    return std::string(ip(family)) + " daddr " + text + " rt " + ip(family) + " nexthop " + text;
}

bool renderable(const Prefix& prefix) {
    return usable(prefix.network) && prefix.length <= bits(prefix.network.family);
}

// One rule per prefix: through its own interface, with `match` between the interface and the
// destination.
std::string acceptOnLink(const std::vector<Prefix>& prefixes, int family, const char* match) {
    std::string text;
    for (const Prefix& prefix : prefixes) {
        if (!renderable(prefix) || prefix.network.family != family) continue;
        text += rule("meta oif " + std::to_string(prefix.interface) + match + " " +
                     destinationIn(prefix) + " accept");
    }
    return text;
}

std::string acceptTunnels(const std::vector<unsigned>& tunnels) {
    std::string text;
    for (const unsigned tunnel : tunnels)
        text += rule("meta oif " + std::to_string(tunnel) + " accept");
    return text;
}

std::string baseChain(const char* name, const char* hook, const char* priority,
                      const std::string& rules) {
    return std::string("\tchain ") + name + " {\n\t\ttype filter hook " + hook + " priority " +
           priority + "; policy accept;\n" + rules + "\t}\n";
}

std::string chain(const char* name, const std::string& rules) {
    return std::string("\tchain ") + name + " {\n" + rules + "\t}\n";
}

// Nothing reaches the tunnel's own addresses but through loopback and the tunnel.
std::string prerouting(const Description& d) {
    std::string drops;
    for (const Address& address : d.tunnelAddresses) {
        if (usable(address))
            drops += rule(std::string(ip(address.family)) + " daddr " + address.text() + " drop");
    }
    if (drops.empty()) return baseChain("prerouting", "prerouting", "raw", "");
    std::string interfaces = std::to_string(loopbackIndex);
    for (const unsigned tunnel : d.tunnels)
        interfaces += ", " + std::to_string(tunnel);
    return baseChain("prerouting", "prerouting", "raw",
                     rule("meta iif { " + interfaces + " } accept") + drops);
}

std::string uplinkChain(const Description& d) {
    std::string rules;
    char mark[16];
    std::snprintf(mark, sizeof mark, "0x%08x", core::openVpnMark);
    for (const Address& server : d.servers) {
        if (usable(server)) {
            rules += rule(std::string("meta mark ") + mark + " " + ip(server.family) + " daddr " +
                          server.text() + " accept");
        }
    }
    // DNS, DNS over TLS, and LLMNR, by which a resolver asks the link for names it has no
    // server for; mDNS (.local names, local by their nature) stays.
    if (d.dnsConfined)
        rules += rule("meta l4proto { tcp, udp } th dport { 53, 853, 5355 } jump refuse");
    for (const Address& dns : d.dnsServers) {
        if (usable(dns)) {
            rules += rule(std::string(ip(dns.family)) + " daddr " + dns.text() +
                          " meta l4proto { tcp, udp } th dport { 53, 853 } accept");
        }
    }
    rules += acceptOnLink(d.lan, AF_INET, "");
    rules += acceptOnLink(d.lan, AF_INET6, "");
    return chain("uplink", rules);
}

// Link-scope destinations with the link itself as the next hop, and what keeps the address.
std::string linkChain(const Description& d) {
    std::string rules;
    if (d.linkScope) {
        for (const char* range : {"169.254.0.0/16", "224.0.0.0/24", "255.255.255.255"})
            rules += rule(std::string("ip daddr ") + range + " rt ip nexthop " + range + " accept");
        for (const char* range : {"fe80::/10", "ff02::/16"})
            rules +=
                rule(std::string("ip6 daddr ") + range + " rt ip6 nexthop " + range + " accept");
    }
    rules += rule("udp sport 68 udp dport 67 ip daddr 255.255.255.255 accept");
    rules += acceptOnLink(d.onLink, AF_INET, " udp sport 68 udp dport 67");
    rules += rule("udp sport 546 udp dport 547 ip6 daddr { fe80::/10, ff02::1:2 } accept");
    // Neighbour discovery, and the listener reports that keep its multicast groups joined on
    // switches that snoop them.
    rules += rule(
        "icmpv6 type { nd-router-solicit, nd-neighbor-solicit, nd-neighbor-advert, "
        "mld-listener-report, mld2-listener-report } ip6 daddr "
        "{ fe80::/10, ff02::/16 } accept");
    rules += acceptOnLink(d.onLink, AF_INET6,
                          " icmpv6 type { nd-neighbor-solicit, nd-neighbor-advert }");
    return chain("link", rules);
}

std::string refuseChain() {
    return chain("refuse", rule("counter name \"" + std::string(refusedCounter) + "\"") +
                               rule("meta l4proto tcp reject with tcp reset") +
                               rule("reject with icmpx admin-prohibited"));
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

std::string renderRuleset(const Description& d) {
    const std::string output = acceptTunnels(d.tunnels) +
                               rule("meta oif " + std::to_string(loopbackIndex) + " accept") +
                               rule("jump uplink") + rule("jump link") + rule("jump refuse");
    const std::string forward =
        acceptTunnels(d.tunnels) + rule("jump uplink") + rule("jump refuse");
    return "table " + table + " {}\nflush table " + table + "\ntable " + table + " {\n\tcounter " +
           std::string(refusedCounter) + " {\n\t}\n" + prerouting(d) +
           baseChain("output", "output", "filter", output) +
           baseChain("forward", "forward", "filter", forward) + uplinkChain(d) + linkChain(d) +
           refuseChain() + "}\n";
}

std::string removalCommands() {
    return "table " + table + " {}\ndelete table " + table + "\n";
}

std::string listCommands() {
    return "list table " + table + "\n";
}

std::string counterCommands() {
    return "list counter " + table + " " + std::string(refusedCounter) + "\n";
}

std::optional<std::uint64_t> parseCounter(std::string_view listing) {
    constexpr std::string_view word = "packets ";
    const std::size_t at = listing.find(word);
    if (at == std::string_view::npos) return std::nullopt;
    const char* begin = listing.data() + at + word.size();
    std::uint64_t packets = 0;
    const auto [end, error] = std::from_chars(begin, listing.data() + listing.size(), packets);
    if (error != std::errc{} || end == begin) return std::nullopt;
    return packets;
}

std::string withoutCounts(std::string_view listing) {
    std::string text;
    for (std::size_t i = 0; i < listing.size();) {
        const std::string_view rest = listing.substr(i);
        const std::size_t word = rest.starts_with("packets ") ? 8
                                 : rest.starts_with("bytes ") ? 6
                                                              : 0;
        if (word == 0) {
            text += listing[i++];
            continue;
        }
        text += rest.substr(0, word);
        i += word;
        while (i < listing.size() && isDigit(listing[i]))
            ++i;
    }
    return text;
}

bool touchesTable(std::span<const std::byte> datagram) {
    constexpr std::size_t start = netlink::attributesStart<nfgenmsg>;
    bool touched = false;
    netlink::forEachMessage(datagram, [&](std::uint16_t type, std::span<const std::byte> message) {
        if (type >> 8 != NFNL_SUBSYS_NFTABLES || (type & 0xff) == NFT_MSG_NEWGEN ||
            message.size() < start)
            return true;
        if (netlink::load<nfgenmsg>(message, NLMSG_HDRLEN).nfgen_family != NFPROTO_INET)
            return true;
        // Every message of a table's parts names the table in its first attribute.
        netlink::forEachAttribute(message.subspan(start), [&](std::uint16_t attribute, auto data) {
            if ((attribute & NLA_TYPE_MASK) != NFTA_TABLE_NAME) return;
            std::string_view name(reinterpret_cast<const char*>(data.data()), data.size());
            name = name.substr(0, name.find('\0'));
            if (name == tableName) touched = true;
        });
        return !touched;
    });
    return touched;
}

}  // namespace guard
