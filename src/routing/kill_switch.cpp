#include "routing/kill_switch.h"

#include <linux/fib_rules.h>
#include <linux/rtnetlink.h>

#include <net/if.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/log.h"
#include "core/marks.h"
#include "netlink/bytes.h"
#include "routing/routing.h"
#include "routing/state.h"

namespace routing {
namespace {

using core::levelDebug;
using core::levelError;
using core::levelWarning;
using core::logMessage;
using netlink::Request;

// A removal is repeated at most this often: a rule added twice by hand goes twice.
constexpr int maxRemovals = 16;
constexpr std::uint32_t highestMetric = 0xffffffffu;

std::uint16_t changeFlags(Change change) {
    return change == Change::Add ? NLM_F_REQUEST | NLM_F_ACK | NLM_F_CREATE | NLM_F_EXCL
                                 : NLM_F_REQUEST | NLM_F_ACK;
}

rtmsg tableRoute(Change change, int family, unsigned char type) {
    rtmsg route{};
    route.rtm_family = static_cast<unsigned char>(family);
    route.rtm_table = RT_TABLE_UNSPEC;  // the table number does not fit: RTA_TABLE carries it
    route.rtm_protocol = change == Change::Add ? RTPROT_STATIC : RTPROT_UNSPEC;
    route.rtm_scope = change == Change::Add ? RT_SCOPE_UNIVERSE : RT_SCOPE_NOWHERE;
    route.rtm_type = change == Change::Add ? type : static_cast<unsigned char>(RTN_UNSPEC);
    return route;
}

std::uint16_t routeType(Change change) {
    return change == Change::Add ? RTM_NEWROUTE : RTM_DELROUTE;
}

// Policy routing missing from the kernel, or from its IPv6 part.
bool unsupported(int code) {
    return code == -EOPNOTSUPP || code == -EAFNOSUPPORT;
}

void warnUnsupportedOnce() {
    if (state().policyRoutingMissing.exchange(true)) return;
    logMessage(levelWarning,
               "This kernel has no policy routing: the kill switch rules are not installed, "
               "only the route watchers keep default routes out");
}

// Sends an add; true when the entry is now there (added or already present).
bool add(std::span<const std::byte> request, const char* what, int family, int& added) {
    const int code = kernel().change(request);
    if (code == 0) ++added;
    if (code == 0 || code == -EEXIST) return true;
    if (unsupported(code)) {
        warnUnsupportedOnce();
    } else {
        logMessage(levelError, "Error %d (%s) adding the kill switch's %s (%s)", -code,
                   std::strerror(-code), what, netlink::familyName(family));
    }
    return false;
}

// Sends a removal until nothing of it is left; returns how many entries went.
int removeAll(const std::vector<std::byte>& request, const char* what, int family) {
    int removed = 0;
    for (; removed < maxRemovals; ++removed) {
        const int code = kernel().change(request);
        if (code == 0) continue;
        if (code != -ENOENT && code != -ESRCH && !unsupported(code)) {
            logMessage(levelError, "Error %d (%s) removing the kill switch's %s (%s)", -code,
                       std::strerror(-code), what, netlink::familyName(family));
        }
        break;
    }
    return removed;
}

// The family's rules, when the kernel has policy routing for it. Without it a route "in our
// table" would land in the main table, so nothing of the kill switch is sent then.
std::optional<std::vector<RuleInfo>> policyRules(int family) {
    if (family == AF_INET6 && !kernel().hasIpv6()) return std::nullopt;
    auto rules = kernel().rules(family);
    if (!rules) warnUnsupportedOnce();
    return rules;
}

std::optional<netlink::Prefix> destinationOf(const RuleInfo& rule) {
    if (!rule.destination) return std::nullopt;
    return netlink::Prefix{0, netlink::masked(*rule.destination, rule.destinationLength),
                           rule.destinationLength};
}

bool isOurs(const RuleInfo& rule, const KillSwitchRule& wanted) {
    return rule.priority == wanted.priority && rule.table == wanted.table &&
           (!wanted.suppressDefault || rule.suppressPrefixLength == 0u) &&
           rule.mark == wanted.mark && destinationOf(rule) == wanted.destination;
}

bool isTunnelRulePriority(std::uint32_t priority) {
    return priority >= markPriority && priority <= tunnelFirstPriority;
}

// A rule at one of the tunnel's priorities that looks up a table of ours.
bool mayBeTunnelRule(const RuleInfo& rule) {
    return isTunnelRulePriority(rule.priority) && rule.action == FR_ACT_TO_TBL &&
           rule.table == (rule.priority == tunnelFirstPriority ? killSwitchTable : RT_TABLE_MAIN);
}

KillSwitchRule asKillSwitchRule(const RuleInfo& rule) {
    return {rule.priority, rule.table, false, rule.mark, destinationOf(rule)};
}

// The tunnel's rules the moment wants for `family`, beside the rules `present`: with the
// kernel's addresses unknown, the LAN rules that stand stay as they are.
std::vector<KillSwitchRule> wantedTunnelRules(int family, const std::vector<RuleInfo>& present) {
    if (!state().killSwitchHeld || !tunnelAddressCopy(family)) return {};
    const core::Lan scope = LanScope();
    if (const auto addresses = kernel().addresses())
        return tunnelRules(
            family, netlink::lanPrefixes(*addresses, CurrentTunnel().indexes(), scope), scope);
    std::vector<netlink::Prefix> standing;
    for (const RuleInfo& rule : present) {
        if (rule.priority == lanPriority && mayBeTunnelRule(rule) && rule.destination)
            standing.push_back(*destinationOf(rule));
    }
    return tunnelRules(family, standing, scope);
}

void warnAboutEarlierRules(int family, const std::vector<RuleInfo>& rules) {
    for (const RuleInfo& rule : rules) {
        if (rule.priority >= killSwitchPriority || rule.table == RT_TABLE_LOCAL) continue;
        if (mayBeTunnelRule(rule)) continue;
        if (rule.action != FR_ACT_TO_TBL) continue;
        logMessage(levelWarning,
                   "Policy rule %u (%s) looks up table %u before the kill switch's rules and can "
                   "route around them",
                   rule.priority, netlink::familyName(family), rule.table);
    }
}

}  // namespace

std::vector<std::byte> ruleRequest(Change change, int family, const KillSwitchRule& rule) {
    fib_rule_hdr header{};
    header.family = static_cast<unsigned char>(family);
    header.table = static_cast<unsigned char>(rule.table < 256 ? rule.table : RT_TABLE_UNSPEC);
    if (rule.destination) header.dst_len = static_cast<unsigned char>(rule.destination->length);
    header.action = FR_ACT_TO_TBL;
    Request request(change == Change::Add ? RTM_NEWRULE : RTM_DELRULE, changeFlags(change), 0,
                    header);
    request.attribute32(FRA_PRIORITY, rule.priority);
    request.attribute32(FRA_TABLE, rule.table);
    if (rule.suppressDefault) request.attribute32(FRA_SUPPRESS_PREFIXLEN, 0);
    if (rule.mark) request.attribute32(FRA_FWMARK, *rule.mark);
    if (rule.destination) {
        const netlink::Address network =
            netlink::masked(rule.destination->network, rule.destination->length);
        request.attribute(FRA_DST, network.bytes.data(), netlink::Address::size(family));
    }
    return request.bytes();
}

std::vector<KillSwitchRule> tunnelRules(int family, std::span<const netlink::Prefix> lan,
                                        core::Lan scope) {
    std::vector<KillSwitchRule> rules = {
        {markPriority, RT_TABLE_MAIN, false, core::openVpnMark, std::nullopt}};
    std::vector<netlink::Prefix> destinations;
    for (const netlink::Prefix& prefix : lan) {
        if (prefix.network.family == family)
            destinations.push_back(
                {0, netlink::masked(prefix.network, prefix.length), prefix.length});
    }
    if (scope != core::Lan::None) destinations.push_back(netlink::linkLocalRange(family));
    std::sort(destinations.begin(), destinations.end());
    destinations.erase(std::unique(destinations.begin(), destinations.end()), destinations.end());
    for (const netlink::Prefix& destination : destinations)
        rules.push_back({lanPriority, RT_TABLE_MAIN, false, std::nullopt, destination});
    rules.push_back({tunnelFirstPriority, killSwitchTable, false, std::nullopt, std::nullopt});
    return rules;
}

std::vector<std::byte> unreachableRequest(Change change, int family) {
    Request request(routeType(change), changeFlags(change), 0,
                    tableRoute(change, family, RTN_UNREACHABLE));
    request.attribute32(RTA_TABLE, killSwitchTable);
    request.attribute32(RTA_PRIORITY, highestMetric);
    return request.bytes();
}

std::vector<std::byte> tableCopyRequest(Change change, const RouteInfo& route) {
    rtmsg header = tableRoute(change, route.family, RTN_UNICAST);
    if (change == Change::Add) header.rtm_flags = route.flags & RTNH_F_ONLINK;
    Request request(routeType(change), changeFlags(change), 0, header);
    request.attribute32(RTA_TABLE, killSwitchTable);
    if (route.gateway) {
        request.attribute(RTA_GATEWAY, route.gateway->bytes.data(),
                          netlink::Address::size(route.family));
    }
    if (change == Change::Add) {
        if (route.outputInterface != 0) request.attribute32(RTA_OIF, route.outputInterface);
        request.attribute32(RTA_PRIORITY, route.priority);
    }
    return request.bytes();
}

std::vector<std::byte> tableDefaultRemoval(int family) {
    Request request(RTM_DELROUTE, changeFlags(Change::Remove), 0,
                    tableRoute(Change::Remove, family, RTN_UNSPEC));
    request.attribute32(RTA_TABLE, killSwitchTable);
    return request.bytes();
}

KillSwitchLoss killSwitchLoss(std::span<const std::byte> datagram, int family) {
    KillSwitchLoss loss;
    netlink::forEachMessage(datagram, [&](std::uint16_t type, std::span<const std::byte> message) {
        constexpr std::size_t ruleAttributes = NLMSG_LENGTH(sizeof(fib_rule_hdr));
        if (type == RTM_DELRULE && message.size() >= ruleAttributes) {
            netlink::forEachAttribute(
                message.subspan(ruleAttributes), [&](std::uint16_t a, auto d) {
                    if (a != FRA_PRIORITY || d.size() != sizeof(std::uint32_t)) return;
                    const auto priority = netlink::load<std::uint32_t>(d, 0);
                    if (isTunnelRulePriority(priority) || priority == killSwitchPriority ||
                        priority == killSwitchPriority + 1)
                        loss.rulesOrTable = true;
                });
        }
        if (type != RTM_DELROUTE || message.size() < netlink::routeAttributesStart) return true;
        const auto route = netlink::load<rtmsg>(message, sizeof(nlmsghdr));
        std::uint32_t table = route.rtm_table;
        netlink::forEachAttribute(message.subspan(netlink::routeAttributesStart),
                                  [&](std::uint16_t a, auto d) {
                                      if (a == RTA_TABLE && d.size() == sizeof(std::uint32_t))
                                          table = netlink::load<std::uint32_t>(d, 0);
                                  });
        if (table == killSwitchTable) loss.rulesOrTable = true;
        if (family == AF_INET6 && table == RT_TABLE_MAIN && route.rtm_type == RTN_BLACKHOLE &&
            route.rtm_dst_len == 0) {
            loss.blackhole = true;
        }
        return true;
    });
    return loss;
}

bool KillSwitchPieces::all() const {
    return std::all_of(std::begin(rules), std::end(rules), [](bool r) { return r; }) &&
           unreachable && tunnelCopy && tunnelRules;
}

bool KillSwitchPieces::none() const {
    return std::none_of(std::begin(rules), std::end(rules), [](bool r) { return r; }) &&
           !unreachable;
}

std::string KillSwitchPieces::missing() const {
    std::vector<std::string> parts;
    for (std::size_t i = 0; i < std::size(rules); ++i) {
        if (!rules[i]) parts.push_back("rule " + std::to_string(killSwitchRules[i].priority));
    }
    if (!unreachable) parts.emplace_back("unreachable route");
    if (!tunnelCopy) parts.emplace_back("tunnel route");
    if (!tunnelRules) parts.emplace_back("tunnel rules");
    std::string text;
    for (const std::string& part : parts)
        text += (text.empty() ? "" : ", ") + part;
    return text;
}

std::optional<KillSwitchPieces> killSwitchPieces(int family) {
    if (family == AF_INET6 && !kernel().hasIpv6()) return std::nullopt;
    const auto rules = kernel().rules(family);
    const auto table = kernel().tableDefaults(family, killSwitchTable);
    if (!rules || !table) return std::nullopt;
    KillSwitchPieces pieces;
    for (std::size_t i = 0; i < std::size(killSwitchRules); ++i) {
        pieces.rules[i] = std::any_of(rules->begin(), rules->end(), [&](const RuleInfo& rule) {
            return isOurs(rule, killSwitchRules[i]);
        });
    }
    pieces.unreachable = std::any_of(table->begin(), table->end(), [](const RouteInfo& route) {
        return route.type == RTN_UNREACHABLE;
    });
    if (const auto tunnel = tunnelDefaultRoute(family)) {
        pieces.tunnelCopy = std::any_of(table->begin(), table->end(), [&](const RouteInfo& r) {
            return r.type == RTN_UNICAST && r.gateway == tunnel->gateway;
        });
    }
    const std::vector<KillSwitchRule> wanted = wantedTunnelRules(family, *rules);
    pieces.tunnelRules = std::all_of(wanted.begin(), wanted.end(), [&](const auto& want) {
        return std::any_of(rules->begin(), rules->end(),
                           [&](const RuleInfo& rule) { return isOurs(rule, want); });
    });
    return pieces;
}

std::optional<bool> killSwitchInPlace(int family) {
    const auto pieces = killSwitchPieces(family);
    if (!pieces) return std::nullopt;
    return pieces->all();
}

int ensureKillSwitch(int family) {
    const auto rules = policyRules(family);
    if (!rules) return 0;
    int added = 0;
    // The table first, then the rule that sends traffic to it, and only then the rule that
    // lets the main table's default routes pass by: installed part way, the kill switch
    // blocks too much rather than nothing.
    if (!add(unreachableRequest(Change::Add, family), "unreachable route", family, added))
        return added;
    if (const auto tunnel = tunnelDefaultRoute(family))
        add(tableCopyRequest(Change::Add, *tunnel), "tunnel route", family, added);
    for (auto rule = std::rbegin(killSwitchRules); rule != std::rend(killSwitchRules); ++rule) {
        if (!add(ruleRequest(Change::Add, family, *rule), "rule", family, added)) break;
    }
    return added + ensureTunnelRules(family);
}

int ensureTunnelRules(int family) {
    // One at a time: a close that removes them and a watcher that repairs them never cross.
    NetworkGuard guard;
    const auto present = policyRules(family);
    if (!present) return 0;
    const std::vector<KillSwitchRule> wanted = wantedTunnelRules(family, *present);
    const auto stands = [&](const KillSwitchRule& rule) {
        return std::any_of(present->begin(), present->end(),
                           [&](const RuleInfo& r) { return isOurs(r, rule); });
    };
    // What is no longer wanted goes, the rule that takes everything first.
    for (const std::uint32_t priority : {tunnelFirstPriority, lanPriority, markPriority}) {
        for (const RuleInfo& rule : *present) {
            if (rule.priority != priority || !mayBeTunnelRule(rule)) continue;
            const KillSwitchRule ours = asKillSwitchRule(rule);
            if (std::find(wanted.begin(), wanted.end(), ours) == wanted.end())
                removeAll(ruleRequest(Change::Remove, family, ours), "tunnel rule", family);
        }
    }
    // What is missing comes, the rule that takes everything last.
    int added = 0;
    for (const KillSwitchRule& rule : wanted) {
        if (!stands(rule) &&
            !add(ruleRequest(Change::Add, family, rule), "tunnel rule", family, added))
            break;
    }
    return added;
}

void reportIncompleteKillSwitch(int family) {
    if (!policyRules(family)) return;  // reported once already
    const auto pieces = killSwitchPieces(family);
    if (!pieces) {
        logMessage(levelError, "The kill switch (%s) cannot be checked: its table cannot be read",
                   netlink::familyName(family));
    } else if (!pieces->all()) {
        logMessage(levelError, "The kill switch (%s) is not complete: %s missing",
                   netlink::familyName(family), pieces->missing().c_str());
    }
}

void copyTunnelRoute(int family) {
    if (!state().killSwitchHeld) return;
    int added = 0;
    if (const auto tunnel = tunnelDefaultRoute(family))
        add(tableCopyRequest(Change::Add, *tunnel), "tunnel route", family, added);
    ensureTunnelRules(family);
}

void removeTunnelRoute(int family, const std::string& gateway) {
    // Once the kill switch is gone, so is everything in its table.
    if (!state().killSwitchHeld) return;
    // The rules that send traffic to the copy go before it, while its text is gone already.
    ensureTunnelRules(family);
    RouteInfo route;
    route.family = family;
    route.gateway = netlink::Address::parse(gateway, family);
    if (route.gateway) removeAll(tableCopyRequest(Change::Remove, route), "tunnel route", family);
}

void InstallKillSwitch() {
    logMessage(levelDebug, "Installing the kill switch rules\n");
    state().killSwitchHeld = true;
    for (const int family : {AF_INET, AF_INET6}) {
        ensureKillSwitch(family);
        if (const auto rules = kernel().rules(family)) warnAboutEarlierRules(family, *rules);
        reportIncompleteKillSwitch(family);
    }
}

void EnsureKillSwitch() {
    for (const int family : {AF_INET, AF_INET6}) {
        if (ensureKillSwitch(family) > 0) {
            logMessage(levelWarning,
                       "The kill switch's rules or routes (%s) were missing; put back",
                       netlink::familyName(family));
            reportIncompleteKillSwitch(family);
        }
    }
}

bool KillSwitchHeld() {
    return state().killSwitchHeld;
}

void RemoveKillSwitch() {
    state().killSwitchHeld = false;
    for (const int family : {AF_INET, AF_INET6}) {
        if (!policyRules(family)) continue;
        // The rules first, so that no moment routes into a half-emptied table; the tunnel's
        // rules, which nothing wants once the kill switch does not hold, before them.
        int removed = 0;
        ensureTunnelRules(family);
        for (const KillSwitchRule& rule : killSwitchRules)
            removed += removeAll(ruleRequest(Change::Remove, family, rule), "rule", family);
        removed += removeAll(tableDefaultRemoval(family), "routes", family);
        if (removed > 0) {
            logMessage(levelDebug, "Removed the kill switch rules and routes (%s)\n",
                       netlink::familyName(family));
        }
    }
}

}  // namespace routing
