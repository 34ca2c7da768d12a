#include "netlink/lan.h"

#include <linux/if_addr.h>
#include <linux/rtnetlink.h>

#include <algorithm>
#include <array>
#include <functional>

#include "netlink/bytes.h"
#include "netlink/socket.h"

namespace netlink {
namespace {

unsigned bits(int family) {
    return static_cast<unsigned>(Address::size(family) * 8);
}

bool usable(const Address& address) {
    return address.family == AF_INET || address.family == AF_INET6;
}

Prefix range(const char* text, unsigned length) {
    const int family =
        std::string_view(text).find(':') == std::string_view::npos ? AF_INET : AF_INET6;
    return {0, *Address::parse(text, family), length};
}

const std::array<Prefix, 6>& privateRanges() {
    static const std::array<Prefix, 6> ranges = {
        range("10.0.0.0", 8),     range("172.16.0.0", 12), range("192.168.0.0", 16),
        range("169.254.0.0", 16), range("fc00::", 7),      range("fe80::", 10),
    };
    return ranges;
}

// The prefixes of the uplinks' addresses that `take` accepts, sorted, each once, bounded.
std::vector<Prefix> uplinkPrefixes(std::span<const InterfaceAddress> addresses,
                                   std::span<const unsigned> tunnels,
                                   const std::function<bool(const Prefix&)>& take) {
    std::vector<Prefix> prefixes;
    for (const InterfaceAddress& a : addresses) {
        if (!usable(a.address) || a.hostScope || a.address.isLinkLocal6()) continue;
        if (a.interface == 1 ||
            std::find(tunnels.begin(), tunnels.end(), a.interface) != tunnels.end())
            continue;  // loopback, whose index is 1 in every namespace, and the tunnels
        if (a.prefixLength > bits(a.address.family)) continue;
        const Prefix prefix{a.interface, masked(a.address, a.prefixLength), a.prefixLength};
        if (take(prefix)) prefixes.push_back(prefix);
    }
    std::sort(prefixes.begin(), prefixes.end());
    prefixes.erase(std::unique(prefixes.begin(), prefixes.end()), prefixes.end());
    if (prefixes.size() > maxLanPrefixes) prefixes.resize(maxLanPrefixes);
    return prefixes;
}

bool narrowEnough(const Prefix& prefix) {
    return prefix.length >= (prefix.network.family == AF_INET6 ? widestOnLink6 : widestOnLink4);
}

bool isPrivate(const Prefix& prefix) {
    return std::any_of(privateRanges().begin(), privateRanges().end(),
                       [&](const Prefix& range) { return within(prefix, range); });
}

}  // namespace

Address masked(Address address, unsigned length) {
    for (unsigned bit = length; bit < bits(address.family); ++bit)
        address.bytes[bit / 8] &= static_cast<unsigned char>(~(0x80u >> (bit % 8)));
    return address;
}

bool within(const Prefix& prefix, const Prefix& range) {
    return prefix.network.family == range.network.family && prefix.length >= range.length &&
           masked(prefix.network, range.length) == range.network;
}

Prefix linkLocalRange(int family) {
    return family == AF_INET6 ? privateRanges()[5] : privateRanges()[3];
}

std::vector<Prefix> onLinkPrefixes(std::span<const InterfaceAddress> addresses,
                                   std::span<const unsigned> tunnels) {
    return uplinkPrefixes(addresses, tunnels, narrowEnough);
}

std::vector<Prefix> lanPrefixes(std::span<const InterfaceAddress> addresses,
                                std::span<const unsigned> tunnels, core::Lan lan) {
    switch (lan) {
        case core::Lan::OnLink:
            return onLinkPrefixes(addresses, tunnels);
        case core::Lan::None:
            return {};
        case core::Lan::Private:
            break;
    }
    return uplinkPrefixes(addresses, tunnels, isPrivate);
}

void parseAddresses(std::span<const std::byte> datagram, std::vector<InterfaceAddress>& into) {
    constexpr std::size_t start = attributesStart<ifaddrmsg>;
    forEachMessage(datagram, [&](std::uint16_t type, std::span<const std::byte> message) {
        if (type != RTM_NEWADDR || message.size() < start) return true;
        const auto header = load<ifaddrmsg>(message, NLMSG_HDRLEN);
        const int family = header.ifa_family;
        if (family != AF_INET && family != AF_INET6) return true;
        std::optional<Address> address, local;
        forEachAttribute(message.subspan(start), [&](std::uint16_t attribute, auto data) {
            if (data.size() != Address::size(family)) return;
            if (attribute == IFA_ADDRESS) address = Address::fromBytes(family, data.data());
            if (attribute == IFA_LOCAL) local = Address::fromBytes(family, data.data());
        });
        if (!address) address = local;
        if (local == address) local.reset();
        if (address) {
            into.push_back({header.ifa_index, *address, header.ifa_prefixlen,
                            header.ifa_scope == RT_SCOPE_HOST, local});
        }
        return true;
    });
}

std::optional<std::vector<InterfaceAddress>> dumpAddresses() {
    ifaddrmsg header{};
    header.ifa_family = AF_UNSPEC;
    std::vector<InterfaceAddress> addresses;
    const int code =
        exchange(NETLINK_ROUTE, Request(RTM_GETADDR, NLM_F_REQUEST | NLM_F_DUMP, 1, header).bytes(),
                 [&](std::uint16_t, std::span<const std::byte> message) {
                     parseAddresses(message, addresses);
                 });
    if (code != 0) return std::nullopt;
    return addresses;
}

}  // namespace netlink
