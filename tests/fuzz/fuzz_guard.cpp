// The guard's view of what comes from outside: a datagram of address and nf_tables messages
// (from the kernel, or anything that gets a message into its sockets), and client texts that
// name servers. The addresses read from the datagram and the texts that parse become a
// description, and its ruleset must stay within the table's grammar: nothing from outside
// may add a word, a statement or a chain.

#include <linux/netlink.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "guard/ruleset.h"
#include "netlink/lan.h"

namespace {

// Only the characters the renderer writes itself: no quote, semicolon or brace from outside.
bool wellFormed(const std::string& text) {
    int depth = 0;
    for (const char c : text) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ' ' ||
                             c == '\t' || c == '\n' || c == '.' || c == ':' || c == '/' ||
                             c == ',' || c == '-' || c == ';' || c == '"' || c == '{' || c == '}';
        if (!allowed) return false;
        depth += c == '{' ? 1 : c == '}' ? -1 : 0;
        if (depth < 0) return false;
    }
    return depth == 0;
}

std::size_t lines(const std::string& text, std::string_view start) {
    std::size_t count = 0;
    for (std::size_t at = text.find(start); at != std::string::npos; at = text.find(start, at + 1))
        ++count;
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silenceSyslog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto bytes = fuzz::bytesOf(data, size);
    guard::touchesTable(bytes);
    std::vector<netlink::InterfaceAddress> addresses;
    netlink::parseAddresses(bytes, addresses);
    FUZZ_CHECK(addresses.size() <= size / NLMSG_HDRLEN);

    guard::Description description;
    for (const netlink::InterfaceAddress& a : addresses)
        description.tunnels.push_back(a.interface);
    if (!description.tunnels.empty()) {
        description.tunnels.pop_back();
        description.tunnelAddresses.push_back(addresses.back().own());
    }
    const core::Lan scope = static_cast<core::Lan>(size % 3);
    description.lan = netlink::lanPrefixes(addresses, description.tunnels, scope);
    description.onLink = netlink::onLinkPrefixes(addresses, description.tunnels);
    description.linkScope = scope != core::Lan::None;
    FUZZ_CHECK(description.lan.size() <= netlink::maxLanPrefixes);
    FUZZ_CHECK(description.onLink.size() <= netlink::maxLanPrefixes);
    for (const guard::Prefix& prefix : description.onLink) {
        FUZZ_CHECK(prefix.length >= (prefix.network.family == AF_INET6 ? netlink::widestOnLink6
                                                                       : netlink::widestOnLink4));
    }
    if (scope == core::Lan::Private) {
        // Only what lies in the private ranges, which are no wider than a /7.
        for (const guard::Prefix& prefix : description.lan)
            FUZZ_CHECK(prefix.length >= 7 &&
                       !(prefix.network.family == AF_INET &&
                         (prefix.network.bytes[0] & 0x80) == 0 && prefix.network.bytes[0] != 10));
    }
    // The same bytes as a client's texts, one per line.
    std::string_view text = fuzz::textOf(data, size);
    while (!text.empty()) {
        const std::string_view line = text.substr(0, text.find('\n'));
        text.remove_prefix(std::min(text.size(), line.size() + 1));
        for (const int family : {AF_INET, AF_INET6}) {
            if (const auto address = netlink::Address::parse(line, family))
                description.servers.push_back(*address);
        }
    }
    description.dnsConfined = size % 2 == 1;

    const std::string ruleset = guard::renderRuleset(description);
    FUZZ_CHECK(wellFormed(ruleset));
    FUZZ_CHECK(lines(ruleset, "\tchain ") == 6);
    FUZZ_CHECK(lines(ruleset, "jump ") == 5 + (description.dnsConfined ? 1 : 0));
    FUZZ_CHECK(lines(ruleset, " drop\n") == description.tunnelAddresses.size());
    FUZZ_CHECK(lines(ruleset, " accept\n") ==
               2 * description.tunnels.size() + 1 + (description.tunnelAddresses.empty() ? 0 : 1) +
                   description.servers.size() + description.lan.size() + description.onLink.size() +
                   (description.linkScope ? 5 : 0) + 3);
    return 0;
}
