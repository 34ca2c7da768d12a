#include "fake_kernel.h"

#include <linux/fib_rules.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/paths.h"
#include "netlink/bytes.h"
#include "routing/remembered_routes.h"
#include "routing/rtnetlink.h"
#include "routing/runner.h"

namespace support {
namespace {

void append(std::vector<std::byte>& to, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::byte*>(data);
    to.insert(to.end(), bytes, bytes + size);
}

void padTo4(std::vector<std::byte>& bytes) {
    while (bytes.size() % 4 != 0)
        bytes.push_back(std::byte{0});
}

std::vector<std::byte> message(unsigned short type, const std::vector<std::byte>& payload) {
    nlmsghdr header{};
    header.nlmsg_len = static_cast<std::uint32_t>(sizeof header + payload.size());
    header.nlmsg_type = type;
    std::vector<std::byte> bytes;
    append(bytes, &header, sizeof header);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    padTo4(bytes);
    return bytes;
}

// The text of the entry a kill switch request adds or removes; for a removal that names no
// gateway, a prefix of every entry it matches.
std::string entryText(std::span<const std::byte> request) {
    using namespace netlink;
    const auto type = load<std::uint16_t>(request, 4);
    const bool rule = type == RTM_NEWRULE || type == RTM_DELRULE;
    const int family = load<unsigned char>(request, sizeof(nlmsghdr));
    const std::size_t start = NLMSG_LENGTH(rule ? sizeof(fib_rule_hdr) : sizeof(rtmsg));
    std::map<unsigned short, std::uint32_t> words;
    std::string via, to;
    forEachAttribute(request.subspan(start), [&](std::uint16_t attribute, auto data) {
        if (rule && attribute == FRA_DST && data.size() == netlink::Address::size(family)) {
            to = " to " + netlink::Address::fromBytes(family, data.data()).text() + "/" +
                 std::to_string(load<fib_rule_hdr>(request, sizeof(nlmsghdr)).dst_len);
        }
        if (data.size() == 4) words[attribute] = load<std::uint32_t>(data, 0);
        if (!rule && attribute == RTA_GATEWAY && data.size() == netlink::Address::size(family))
            via = " via " + netlink::Address::fromBytes(family, data.data()).text();
    });
    std::string text =
        std::string(rule ? "rule " : "route ") + (family == AF_INET6 ? "inet6" : "inet");
    if (rule) {
        text += " " + std::to_string(words[FRA_PRIORITY]) + " table " +
                std::to_string(words[FRA_TABLE]);
        if (words.contains(FRA_FWMARK)) text += " fwmark " + std::to_string(words[FRA_FWMARK]);
        return text + to + (words.contains(FRA_SUPPRESS_PREFIXLEN) ? " suppress" : "");
    }
    text += " table " + std::to_string(words[RTA_TABLE]);
    const auto routeType = load<rtmsg>(request, sizeof(nlmsghdr)).rtm_type;
    if (routeType == RTN_UNREACHABLE) return text + " unreachable";
    return text + via;
}

// A notification socket whose far end, `peer`, a test writes datagrams to.
netlink::Subscription socketPair(util::unique_fd& peer) {
    netlink::Subscription socket;
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
        socket.failure = netlink::Subscription::Failure::Socket;
        socket.error = errno;
        return socket;
    }
    socket.fd.reset(ends[0]);
    peer.reset(ends[1]);
    return socket;
}

// A request that adds a route to the main table: one that puts a default route or a host
// route back.
std::optional<routing::RouteInfo> mainTableRoute(std::span<const std::byte> request) {
    if (netlink::load<std::uint16_t>(request, 4) != RTM_NEWROUTE) return std::nullopt;
    auto route = routing::rtnetlink::parseRoute(request);
    if (!route || route->table != RT_TABLE_MAIN) return std::nullopt;
    netlink::forEachAttribute(request.subspan(netlink::routeAttributesStart),
                              [&](std::uint16_t attribute, auto data) {
                                  if (attribute == RTA_EXPIRES && data.size() == 4)
                                      route->expires = netlink::load<std::uint32_t>(data, 0);
                              });
    return route;
}

// "route inet6 default via fe80::1 dev lo metric 100 expires 600": the route as its words
// name it, with the lifetime it was given.
std::string defaultRouteText(const routing::RouteInfo& route) {
    routing::DefaultRoute words = routing::rememberedRoute(route);
    words.expiresAt.reset();
    std::string text = std::string("route ") + (route.family == AF_INET6 ? "inet6" : "inet") +
                       " default " + routing::routeWords(words);
    if (route.expires) text += " expires " + std::to_string(*route.expires);
    return text;
}

}  // namespace

int FakeKernel::addHost(const routing::RouteInfo& route) {
    std::string text = std::string("netlink add route ") +
                       (route.family == AF_INET6 ? "inet6 " : "inet ") + route.destination->text();
    if (route.gateway) text += " via " + route.gateway->text();
    if (route.outputInterface != 0) text += " oif " + std::to_string(route.outputInterface);
    commands.push_back(text);
    if (const auto chosen = statuses.find(text); chosen != statuses.end()) return chosen->second;
    if (std::any_of(hostRoutes.begin(), hostRoutes.end(), [&](const routing::RouteInfo& r) {
            return r.destination == route.destination;
        }))
        return -EEXIST;
    hostRoutes.push_back(route);
    return 0;
}

int FakeKernel::addMain(routing::RouteInfo route) {
    const std::string text = "netlink add " + defaultRouteText(route);
    commands.push_back(text);
    if (const auto chosen = statuses.find(text); chosen != statuses.end()) return chosen->second;
    auto& routes = route.family == AF_INET6 ? defaults6 : defaults4;
    if (std::any_of(routes.begin(), routes.end(), [&](const routing::RouteInfo& r) {
            return r.gateway == route.gateway && r.priority == route.priority &&
                   r.outputInterface == route.outputInterface;
        }))
        return -EEXIST;
    route.type = RTN_UNICAST;
    routes.push_back(route);
    return 0;
}

int FakeKernel::change(std::span<const std::byte> request) {
    std::lock_guard guard(lock_);
    if (const auto route = mainTableRoute(request))
        return route->destination ? addHost(*route) : addMain(*route);
    const auto type = netlink::load<std::uint16_t>(request, 4);
    const bool adding = type == RTM_NEWRULE || type == RTM_NEWROUTE;
    const std::string entry = entryText(request);
    commands.push_back(std::string(adding ? "netlink add " : "netlink del ") + entry);
    const auto found = std::find_if(entries.begin(), entries.end(),
                                    [&](const std::string& e) { return e.starts_with(entry); });
    if (adding) {
        if (found != entries.end()) return -EEXIST;
        if (std::find(refusedEntries.begin(), refusedEntries.end(), entry) != refusedEntries.end())
            return -ENOMEM;
        entries.push_back(entry);
        return 0;
    }
    if (found == entries.end()) return -ENOENT;
    entries.erase(found);
    return 0;
}

std::optional<std::vector<routing::RouteInfo>> FakeKernel::tableDefaults(int family,
                                                                         std::uint32_t table) {
    std::lock_guard guard(lock_);
    if (tableUnreadable) return std::nullopt;
    const std::string prefix = std::string("route ") + (family == AF_INET6 ? "inet6" : "inet") +
                               " table " + std::to_string(table) + " ";
    std::vector<routing::RouteInfo> routes;
    for (const std::string& entry : entries) {
        if (!entry.starts_with(prefix)) continue;
        routing::RouteInfo route;
        route.family = family;
        route.table = table;
        const std::string rest = entry.substr(prefix.size());
        route.type = rest == "unreachable" ? RTN_UNREACHABLE : RTN_UNICAST;
        if (rest.starts_with("via "))
            route.gateway = netlink::Address::parse(rest.substr(4), family);
        routes.push_back(route);
    }
    return routes;
}

std::optional<std::vector<routing::RuleInfo>> FakeKernel::rules(int family) {
    std::lock_guard guard(lock_);
    if (!foreignRules) return std::nullopt;
    std::vector<routing::RuleInfo> all;
    std::copy_if(foreignRules->begin(), foreignRules->end(), std::back_inserter(all),
                 [&](const routing::RuleInfo& rule) { return rule.family == family; });
    const std::string prefix = family == AF_INET6 ? "rule inet6 " : "rule inet ";
    for (const std::string& entry : entries) {
        if (!entry.starts_with(prefix)) continue;
        routing::RuleInfo rule;
        rule.family = family;
        unsigned priority = 0, table = 0;
        std::sscanf(entry.c_str() + prefix.size(), "%u table %u", &priority, &table);
        rule.priority = priority;
        rule.table = table;
        rule.action = FR_ACT_TO_TBL;
        if (entry.ends_with(" suppress")) rule.suppressPrefixLength = 0;
        if (const auto at = entry.find(" fwmark "); at != std::string::npos)
            rule.mark = static_cast<std::uint32_t>(std::stoul(entry.substr(at + 8)));
        if (const auto at = entry.find(" to "); at != std::string::npos) {
            const std::string to = entry.substr(at + 4);
            const std::size_t slash = to.find('/');
            rule.destination = netlink::Address::parse(to.substr(0, slash), family);
            rule.destinationLength = static_cast<unsigned char>(std::stoul(to.substr(slash + 1)));
        }
        all.push_back(rule);
    }
    return all;
}

FakeFilter::FakeFilter() : saved_(guard::kernel()) {
    guard::Kernel& k = guard::kernel();
    k.nft = [this](const std::string& commands, std::string& output) {
        return nft(commands, output);
    };
    k.hasNfTables = [this] { return nfTables; };
    k.addresses = [this] {
        std::lock_guard guard(lock_);
        return std::optional(addresses);
    };
    k.interfaceIndex = [this](const std::string& name) {
        std::lock_guard guard(lock_);
        const auto found = interfaces.find(name);
        return found == interfaces.end() ? 0u : found->second;
    };
    k.watchInterfaces = [this] { return watch(); };
    k.watchTables = [this] { return watch(); };
}

FakeFilter::~FakeFilter() {
    guard::kernel() = saved_;
}

std::optional<std::string> FakeFilter::nft(const std::string& commands, std::string& output) {
    std::lock_guard guard(lock_);
    transactions.push_back(commands);
    if (!nfTables) return "Error: Could not process rule: Protocol not supported";
    if (failure) return failure;
    if (commands.starts_with("list ")) {
        if (!table) return "Error: No such file or directory";
        output =
            commands.starts_with("list counter") ? "packets " + std::to_string(refused) : *table;
    } else if (commands.find("delete table") != std::string::npos) {
        table.reset();
    } else {
        table = commands;
    }
    return std::nullopt;
}

netlink::Subscription FakeFilter::watch() {
    util::unique_fd peer;
    netlink::Subscription socket = socketPair(peer);
    std::lock_guard guard(lock_);
    if (peer) watchPeers.push_back(std::move(peer));
    return socket;
}

FakeKernel::FakeKernel() : saved_(routing::kernel()), savedStateFile_(core::paths().stateFile) {
    // Outside a sandbox the routing operations write no state file: the system's is not ours.
    if (savedStateFile_ == core::Paths{}.stateFile) core::paths().stateFile.clear();
    routing::Kernel& k = routing::kernel();
    k.run = [this](std::string_view command) { return run(command); };
    k.defaultRoutes = [this](int family) -> std::optional<std::vector<routing::RouteInfo>> {
        if (tableUnreadable) return std::nullopt;
        return family == AF_INET6 ? defaults6 : defaults4;
    };
    k.tableDefaults = [this](int family, std::uint32_t table) {
        return tableDefaults(family, table);
    };
    k.change = [this](std::span<const std::byte> request) { return change(request); };
    k.rules = [this](int family) { return rules(family); };
    k.hasIpv6 = [this] { return ipv6; };
    k.addresses = [this] { return std::optional(filter.addressesNow()); };
    k.routerAdvertisements =
        [this](const std::string& device) -> std::optional<routing::RouterAdvertisementSettings> {
        const auto found = advertisementSettings.find(device);
        if (found == advertisementSettings.end()) return std::nullopt;
        return found->second;
    };
    k.solicitRouters = [this](unsigned interface) {
        return run("solicit " + std::to_string(interface));
    };
    k.routeDevice = [this](const netlink::Address&) { return routeDevice; };
    k.openWatchSocket = [this](int family) {
        util::unique_fd peer;
        routing::WatchSocket socket = socketPair(peer);
        std::lock_guard guard(lock_);
        if (peer) watchPeers[family] = std::move(peer);
        return socket;
    };
}

FakeKernel::~FakeKernel() {
    routing::kernel() = saved_;
    core::paths().stateFile = savedStateFile_;
}

routing::RouteInfo FakeKernel::unicastDefault(const std::string& gateway, unsigned metric) {
    routing::RouteInfo route;
    route.family = gateway.find(':') == std::string::npos ? AF_INET : AF_INET6;
    route.table = RT_TABLE_MAIN;
    route.type = RTN_UNICAST;
    route.priority = metric;
    route.gateway = netlink::Address::parse(gateway, route.family);
    return route;
}

routing::RouteInfo FakeKernel::blackholeDefault6() {
    routing::RouteInfo route;
    route.family = AF_INET6;
    route.table = RT_TABLE_MAIN;
    route.type = RTN_BLACKHOLE;
    route.priority = 0xffffffffu;
    return route;
}

int FakeKernel::run(std::string_view command) {
    std::lock_guard guard(lock_);
    const std::string text(command);
    commands.push_back(text);
    const auto chosen = statuses.find(text);
    const int status = chosen == statuses.end() ? 0 : chosen->second;
    if (status != 0) return status;
    // The kernel deletes the default route of the lowest metric first.
    auto removeLowest = [](std::vector<routing::RouteInfo>& routes) {
        const auto lowest = std::min_element(
            routes.begin(), routes.end(), [](auto& a, auto& b) { return a.priority < b.priority; });
        if (lowest != routes.end()) routes.erase(lowest);
    };
    const auto words = routing::commandWords(text);
    if (words == std::vector<std::string>{"ip", "route", "del", "default"} ||
        words == std::vector<std::string>{"route", "del", "default"}) {
        removeLowest(defaults4);
    } else if (words == std::vector<std::string>{"ip", "-6", "route", "del", "default"}) {
        removeLowest(defaults6);
    } else if (words.size() >= 6 && words[0] == "ip" && words[words.size() - 4] == "del" &&
               words[words.size() - 3] == "default" && words[words.size() - 2] == "via") {
        // "ip route del default via GATEWAY", "ip -6 route del default via GATEWAY"
        auto& routes = words[1] == "-6" ? defaults6 : defaults4;
        std::erase_if(routes, [&](const routing::RouteInfo& r) {
            return r.gateway && r.gateway->text() == words.back();
        });
    } else if (text == "ip -6 route add blackhole default metric 4294967295") {
        defaults6.push_back(blackholeDefault6());
    }
    return 0;
}

std::vector<std::byte> netlinkError(int code) {
    std::vector<std::byte> payload;
    append(payload, &code, sizeof code);
    nlmsghdr original{};
    append(payload, &original, sizeof original);
    return message(NLMSG_ERROR, payload);
}

std::vector<std::byte> netlinkDone() {
    const int zero = 0;
    std::vector<std::byte> payload;
    append(payload, &zero, sizeof zero);
    return message(NLMSG_DONE, payload);
}

std::vector<std::byte> routeMessage(
    unsigned char family, unsigned char table,
    const std::vector<std::pair<unsigned short, std::vector<std::byte>>>& attributes,
    unsigned short type) {
    rtmsg route{};
    route.rtm_family = family;
    route.rtm_table = table;
    route.rtm_type = RTN_UNICAST;
    std::vector<std::byte> payload;
    append(payload, &route, sizeof route);
    for (const auto& [attributeType, data] : attributes) {
        rtattr attribute{};
        attribute.rta_len = static_cast<unsigned short>(RTA_LENGTH(data.size()));
        attribute.rta_type = attributeType;
        append(payload, &attribute, sizeof attribute);
        payload.insert(payload.end(), data.begin(), data.end());
        padTo4(payload);
    }
    return message(type, payload);
}

std::vector<std::byte> gatewayAttributePayload(const std::string& address) {
    const int family = address.find(':') == std::string::npos ? AF_INET : AF_INET6;
    const auto parsed = netlink::Address::parse(address, family);
    std::vector<std::byte> bytes;
    append(bytes, parsed->bytes.data(), netlink::Address::size(family));
    return bytes;
}

std::vector<std::byte> concat(const std::vector<std::vector<std::byte>>& parts) {
    std::vector<std::byte> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

}  // namespace support
