#include "guard/ruleset.h"

#include <linux/if_addr.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/rtnetlink.h>

#include <algorithm>
#include <charconv>
#include <cstdio>

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

Address network(Address address, unsigned length) {
    for (unsigned bit = length; bit < bits(address.family); ++bit)
        address.bytes[bit / 8] &= static_cast<unsigned char>(~(0x80u >> (bit % 8)));
    return address;
}

const char* match(const Address& address) {
    return address.family == AF_INET6 ? "ip6 daddr" : "ip daddr";
}

std::string rule(const std::string& text) {
    return "\t\t" + text + "\n";
}

std::string acceptEach(const std::vector<Address>& addresses) {
    std::string text;
    for (const Address& address : addresses) {
        if (usable(address))
            text += rule(std::string(match(address)) + " " + address.text() + " accept");
    }
    return text;
}

std::string acceptTunnels(const std::vector<unsigned>& tunnels) {
    std::string text;
    for (const unsigned tunnel : tunnels)
        text += rule("meta oif " + std::to_string(tunnel) + " accept");
    return text;
}

std::string baseChain(const char* name, const std::string& rules) {
    return std::string("\tchain ") + name + " {\n\t\ttype filter hook " + name +
           " priority filter; policy accept;\n" + rules + rule("jump uplink") + "\t}\n";
}

std::string uplinkChain(const Description& d) {
    std::string rules = acceptEach(d.servers);
    // DNS, DNS over TLS, and LLMNR, by which a resolver asks the link for names it has no
    // server for; mDNS (.local names, local by their nature) stays.
    if (d.dnsConfined)
        rules += rule("meta l4proto { tcp, udp } th dport { 53, 853, 5355 } jump refuse");
    rules += acceptEach(d.dnsServers);
    for (const Prefix& prefix : d.lan) {
        if (!usable(prefix.network) || prefix.length > bits(prefix.network.family)) continue;
        rules += rule("meta oif " + std::to_string(prefix.interface) + " " + match(prefix.network) +
                      " " + network(prefix.network, prefix.length).text() + "/" +
                      std::to_string(prefix.length) + " accept");
    }
    rules += rule("ip daddr { 169.254.0.0/16, 224.0.0.0/24, 255.255.255.255 } accept");
    rules += rule("ip6 daddr { fe80::/10, ff02::/16 } accept");
    rules += rule("udp sport 68 udp dport 67 accept");
    rules += rule("udp sport 546 udp dport 547 accept");
    rules +=
        rule("icmpv6 type { nd-router-solicit, nd-neighbor-solicit, nd-neighbor-advert } accept");
    return "\tchain uplink {\n" + rules + rule("jump refuse") + "\t}\n";
}

std::string refuseChain() {
    return "\tchain refuse {\n" + rule("counter name \"" + std::string(refusedCounter) + "\"") +
           rule("meta l4proto tcp reject with tcp reset") +
           rule("reject with icmpx admin-prohibited") + "\t}\n";
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

std::vector<Prefix> lanPrefixes(std::span<const InterfaceAddress> addresses,
                                std::span<const unsigned> tunnels) {
    std::vector<Prefix> prefixes;
    for (const InterfaceAddress& a : addresses) {
        if (!usable(a.address) || a.hostScope || a.address.isLinkLocal6()) continue;
        if (a.interface == loopbackIndex ||
            std::find(tunnels.begin(), tunnels.end(), a.interface) != tunnels.end())
            continue;
        const unsigned widest = a.address.family == AF_INET6 ? widestLan6 : widestLan4;
        if (a.prefixLength < widest || a.prefixLength > bits(a.address.family)) continue;
        prefixes.push_back({a.interface, network(a.address, a.prefixLength), a.prefixLength});
    }
    std::sort(prefixes.begin(), prefixes.end());
    prefixes.erase(std::unique(prefixes.begin(), prefixes.end()), prefixes.end());
    if (prefixes.size() > maxLanPrefixes) prefixes.resize(maxLanPrefixes);
    return prefixes;
}

std::string renderRuleset(const Description& d) {
    std::string output = acceptTunnels(d.tunnels);
    output += rule("meta oif " + std::to_string(loopbackIndex) + " accept");
    return "table " + table + " {}\nflush table " + table + "\ntable " + table + " {\n\tcounter " +
           std::string(refusedCounter) + " {\n\t}\n" + baseChain("output", output) +
           baseChain("forward", acceptTunnels(d.tunnels)) + uplinkChain(d) + refuseChain() + "}\n";
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

void parseAddresses(std::span<const std::byte> datagram, std::vector<InterfaceAddress>& into) {
    constexpr std::size_t start = netlink::attributesStart<ifaddrmsg>;
    netlink::forEachMessage(datagram, [&](std::uint16_t type, std::span<const std::byte> message) {
        if (type != RTM_NEWADDR || message.size() < start) return true;
        const auto header = netlink::load<ifaddrmsg>(message, NLMSG_HDRLEN);
        const int family = header.ifa_family;
        if (family != AF_INET && family != AF_INET6) return true;
        std::optional<Address> address, local;
        netlink::forEachAttribute(message.subspan(start), [&](std::uint16_t attribute, auto data) {
            if (data.size() != Address::size(family)) return;
            if (attribute == IFA_ADDRESS) address = Address::fromBytes(family, data.data());
            if (attribute == IFA_LOCAL) local = Address::fromBytes(family, data.data());
        });
        // IFA_ADDRESS is the peer of a point-to-point link, whose prefix is the link's.
        if (!address) address = local;
        if (address) {
            into.push_back({header.ifa_index, *address, header.ifa_prefixlen,
                            header.ifa_scope == RT_SCOPE_HOST});
        }
        return true;
    });
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
