#include "control/status.h"

#include <algorithm>

#include "control/frame.h"
#include "control/launch_attempt.h"
#include "control/launcher.h"
#include "dns/resolver.h"
#include "routing/kill_switch.h"
#include "routing/routing.h"
#include "routing/state.h"

namespace control {
namespace {

const char* yesNo(bool value) {
    return value ? "yes" : "no";
}

const char* modeName(modes::Mode mode) {
    switch (mode) {
        case modes::Mode::Lockdown:
            return "lockdown";
        case modes::Mode::Forced:
            return "forced";
        case modes::Mode::Basic:
            break;
    }
    return "basic";
}

const char* guardText(guard::Standing standing) {
    switch (standing) {
        case guard::Standing::Held:
            return "yes";
        case guard::Standing::Missing:
            return "missing";
        case guard::Standing::Unavailable:
            return "unavailable";
        case guard::Standing::Released:
            break;
    }
    return "no";
}

const char* presenceText(Presence presence) {
    switch (presence) {
        case Presence::Complete:
            return "yes";
        case Presence::Partial:
            return "partial";
        case Presence::Absent:
            return "no";
        case Presence::Unknown:
            break;
    }
    return "unknown";
}

const char* watchersText(routing::WatchersStanding standing) {
    switch (standing) {
        case routing::WatchersStanding::Listening:
            return "yes";
        case routing::WatchersStanding::Stopped:
            return "stopped";
        case routing::WatchersStanding::Off:
            break;
    }
    return "no";
}

std::string routeText(const std::optional<routing::DefaultRoute>& route) {
    return route ? routing::routeWords(*route) : "none";
}

// Both families' rules and table routes, where the kernel has the family.
Presence killSwitchPresence() {
    bool all = true, none = true;
    for (const int family : {AF_INET, AF_INET6}) {
        if (family == AF_INET6 && !routing::kernel().hasIpv6()) continue;
        const auto pieces = routing::killSwitchPieces(family);
        if (!pieces) return Presence::Unknown;
        all = all && pieces->all();
        none = none && pieces->none();
    }
    return all ? Presence::Complete : none ? Presence::Absent : Presence::Partial;
}

std::optional<bool> blackholePresent() {
    if (!routing::kernel().hasIpv6()) return std::nullopt;
    const auto routes = routing::kernel().defaultRoutes(AF_INET6);
    if (!routes) return std::nullopt;
    return std::any_of(routes->begin(), routes->end(),
                       [](const routing::RouteInfo& route) { return route.type == RTN_BLACKHOLE; });
}

std::vector<std::string> modeLines(const Status& s) {
    return {
        std::string("mode=") + modeName(s.mode),
        std::string("lockdown=") + yesNo(s.lockdown),
        std::string("forced=") + yesNo(s.forced),
        std::string("connected=") + yesNo(s.connected),
    };
}

}  // namespace

std::string formatStatus(const Status& s) {
    std::vector<std::string> lines = modeLines(s);
    lines.insert(
        lines.end(),
        {
            std::string("killswitch=") + presenceText(s.killSwitch),
            std::string("blackhole=") + (s.blackhole ? yesNo(*s.blackhole) : "unknown"),
            std::string("guard=") + guardText(s.guard.standing),
            std::string("watchers=") + watchersText(s.watchers),
            "refused=" + (s.guard.refused ? std::to_string(*s.guard.refused) : std::string("none")),
            "gateway4=" + routeText(s.routing.ipv4Gateway),
            "gateway6=" + routeText(s.routing.ipv6Gateway),
            "tunnel4=" + s.tunnel.gateway.value_or("none"),
            "tunnel6=" + s.tunnel.gateway6.value_or("none"),
            "server4=" + s.routing.serverAddress.value_or("none"),
            "server6=" + s.routing.serverAddress6.value_or("none"),
            std::string("resolver=") + (s.resolverReplaced ? "replaced" : "system"),
            "openvpn=" + (s.openVpn ? std::to_string(*s.openVpn) : std::string("none")),
            std::string("statefile=") + (s.stateUnsaved ? "unsaved" : "saved"),
            "openvpnuser=" + s.openVpnUser.value_or("none") +
                (s.openVpnUserFallback ? " (fallback)" : ""),
        });
    for (const routing::DefaultRoute& route : s.routing.removedRoutes) {
        lines.push_back(std::string(route.family == AF_INET6 ? "removed6=" : "removed4=") +
                        routing::routeWords(route));
    }
    for (const std::string& device : s.tunnel.names())
        lines.push_back("tunneldev=" + device);
    for (const std::string& address : s.routing.dnsAddresses)
        lines.push_back("dns4=" + address);
    for (const std::string& address : s.routing.dnsAddresses6)
        lines.push_back("dns6=" + address);
    std::string text;
    for (const std::string& line : lines) {
        if (text.size() + line.size() + 1 > frameSize - 1) break;
        text += line + "\n";
    }
    return text;
}

std::string formatReducedStatus(const Status& status) {
    std::string text;
    for (const std::string& line : modeLines(status))
        text += line + "\n";
    return text;
}

Status currentModeStatus() {
    const modes::State& flags = modes::state();
    Status status;
    status.mode = modes::currentMode();
    status.lockdown = flags.lockdownEnabled != 0;
    status.forced = flags.forcedEnabled != 0;
    status.connected = flags.connected != 0;
    return status;
}

Status currentStatus() {
    Status status = currentModeStatus();
    status.killSwitch = killSwitchPresence();
    status.blackhole = blackholePresent();
    status.guard = guard::CurrentStatus();
    status.watchers = routing::RouteWatchersStanding();
    status.routing = routing::CurrentState();
    status.tunnel = routing::CurrentTunnel();
    status.resolverReplaced = dns::ReplacementInForce();
    status.openVpn = OpenVpnPid();
    status.stateUnsaved = routing::StateUnsaved();
    if (const auto& account = launchSettings().openVpnAccount) {
        status.openVpnUser = account->user;
        status.openVpnUserFallback = account->fallback;
    }
    return status;
}

}  // namespace control
