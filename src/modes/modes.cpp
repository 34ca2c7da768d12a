#include "modes/modes.h"

#include "core/log.h"
#include "desktop/network_manager.h"
#include "dns/resolver.h"
#include "guard/guard.h"
#include "routing/routing.h"
#include "routing/state_file.h"
#include "util/no_destructor.h"

namespace modes {

using core::levelError;
using core::levelInfo;
using core::levelWarning;
using core::logMessage;

State& state() {
    static util::NoDestructor<State> instance;
    return instance.get();
}

Mode currentMode() {
    const State& s = state();
    if (s.lockdownEnabled) return Mode::Lockdown;
    return s.forcedEnabled ? Mode::Forced : Mode::Basic;
}

namespace {

// Lockdown, or a forced-mode connection that is up.
bool guardWanted() {
    const State& s = state();
    return s.lockdownEnabled || (s.forcedEnabled && s.connected);
}

void addAddress(std::vector<netlink::Address>& into, const std::string& text, int family) {
    if (const auto address = netlink::Address::parse(text, family)) into.push_back(*address);
}

// Holds the guard for what the routes and the resolver say now, or removes it.
void holdGuard(bool hold) {
    if (!hold) {
        guard::Release();
        return;
    }
    const routing::SavedState routes = routing::CurrentState();
    guard::Intent intent;
    intent.tunnels = routing::TunnelInterfaces();
    if (routes.serverAddress) addAddress(intent.servers, *routes.serverAddress, AF_INET);
    if (routes.serverAddress6) addAddress(intent.servers, *routes.serverAddress6, AF_INET6);
    for (const std::string& text : routes.dnsAddresses)
        addAddress(intent.dnsServers, text, AF_INET);
    for (const std::string& text : routes.dnsAddresses6)
        addAddress(intent.dnsServers, text, AF_INET6);
    intent.dnsConfined = state().connected && dns::ReplacementInForce();
    guard::Hold(intent);
}

// Holds the state lock for a handler. When the outermost handler ends, the guard is brought
// up to date with whatever the handler changed.
class Handler {
  public:
    Handler() { ++state().handlerDepth; }
    ~Handler() {
        if (--state().handlerDepth == 0) holdGuard(guardWanted());
    }
    Handler(const Handler&) = delete;
    Handler& operator=(const Handler&) = delete;

  private:
    StateGuard lock_;
};

// A refused lockdown must not leave the start's rules behind: nothing would remove them.
void dropKillSwitchLeftAtStart() {
    const State& s = state();
    if (routing::KillSwitchHeld() && !(s.forcedEnabled && s.connected)) routing::RemoveKillSwitch();
}

void saveFlags() {
    const State& s = state();
    routing::SaveModes(s.lockdownEnabled != 0, s.forcedEnabled != 0);
}

// Lockdown holds by its rules even when a part of it failed; each failed part is said.
void reportIncompleteLockdown() {
    if (!routing::HasSavedGateway()) {
        logMessage(levelError,
                   "Lockdown is on without a saved gateway: no server or DNS route can be set");
    }
    if (routing::DefaultRouteRemains()) {
        logMessage(levelError, "Lockdown is on but a default route outside the tunnel remains");
    }
    if (!routing::RouteWatchersListening()) {
        logMessage(levelError, "Lockdown is on but the route watchers do not listen");
    }
}

// Outside lockdown nothing of an earlier run's holds may stay: its host routes go and the
// default routes it removed come back.
void giveBackWhatAnEarlierRunTook() {
    logMessage(levelInfo, "Giving back the routes an earlier run left");
    routing::DisableCustomRoutes();
    routing::UnsetRoutesForDns();
    routing::UnsetRoutesForDns6();
    routing::ReopenDefaultRoutes();
    routing::FreeDefaultRoutes();
    routing::SaveModes(false, false);
}

}  // namespace

void RefreshGuard() {
    Handler handler;
}

void InitRoutingVariables() {
    StateGuard guard;
    State& s = state();
    s.lockdownEnabled = 0;
    s.forcedEnabled = 0;
    s.connected = 0;
    s.connecting = 0;
    routing::InitRoutingVariablesOs();
}

void EnableLockdown() {
    Handler handler;
    State& s = state();
    if (s.lockdownEnabled) return;
    logMessage(levelInfo, "Enabling lockdown mode.");
    // While connected the tunnel's default route is in the table: the saved gateways stand.
    if (!s.connected && routing::RetrieveDefaultRoutes() != 0) {
        logMessage(levelError,
                   "Could not retrieve default routing tables from system, not setting lockdown.");
        dropKillSwitchLeftAtStart();
        return;
    }
    if (routing::CheckForIpv6Environment() == 1 && routing::DisableIpv6() == 0) {
        logMessage(levelError, "Could not Disable IPv6, not setting lockdown.");
        dropKillSwitchLeftAtStart();
        return;
    }
    // The rules and the guard hold before the default routes go, so that nothing leaks in
    // between.
    routing::InstallKillSwitch();
    holdGuard(true);
    routing::CloseDefaultRoutes();
    routing::StartRouteWatchThread();
    s.lockdownEnabled = 1;
    saveFlags();
    reportIncompleteLockdown();
}

void KillSwitchAtStart(bool lockdown) {
    Handler handler;
    if (lockdown) {
        routing::InstallKillSwitch();
    } else {
        routing::RemoveKillSwitch();
    }
}

void ResumeAtStart(bool configuredLockdown) {
    Handler handler;
    const std::optional<routing::SavedState> saved = routing::LoadState();
    const bool lockdown = configuredLockdown || (saved && saved->lockdown);
    if (saved) routing::ResumeState(*saved);
    if (saved && !saved->lockdown) giveBackWhatAnEarlierRunTook();
    KillSwitchAtStart(lockdown);
    if (lockdown) EnableLockdown();
}

void DisableLockdown() {
    Handler handler;
    State& s = state();
    if (!s.lockdownEnabled) return;
    logMessage(levelInfo, "Disabling lockdown mode.");
    routing::StopRouteWatchThread();
    RemoveDnsAddresses();  // still in lockdown here, so the DNS host routes go
    // Before the default routes come back, which the rules would otherwise keep unused.
    routing::RemoveKillSwitch();
    routing::ReopenDefaultRoutes();
    routing::FreeDefaultRoutes();
    s.lockdownEnabled = 0;
    saveFlags();
}

void EnableForcedMode() {
    Handler handler;
    logMessage(levelInfo, "Enabling forced mode.\n");
    state().forcedEnabled = 1;
    saveFlags();
}

void DisableForcedMode() {
    Handler handler;
    logMessage(levelInfo, "Disabling forced mode.\n");
    state().forcedEnabled = 0;
    saveFlags();
}

void PrepareForTunnel() {
    Handler handler;
    state().connecting = 1;
    // While connected the tunnel's default route is in the table: the saved gateways stand.
    if (currentMode() == Mode::Forced && !state().connected &&
        routing::RetrieveDefaultRoutes() != 0) {
        logMessage(levelWarning,
                   "No default routes have been found. This will probably result in failure to "
                   "recreate routes.");
    }
}

void ConnectionSuccessful4(std::string_view address) {
    Handler handler;
    desktop::network_manager::Unmanage(address);
    State& s = state();
    const int ipv6Host = routing::CheckForIpv6Environment();
    s.connecting = 0;
    const Mode mode = currentMode();
    // Lockdown blocked IPv6 when it was enabled.
    if (ipv6Host == 1 && mode != Mode::Lockdown) {
        if (mode == Mode::Basic) {
            if (routing::RetrieveDefaultRoutes() != 0) {
                logMessage(levelWarning,
                           "Could not retrieve default routes in BASIC mode. Will not disable "
                           "IPv6.");
                return;
            }
            routing::CloseIpv6Routes();
        }
        if (routing::DisableIpv6() == 0) {
            logMessage(levelWarning, "Could not disable IPv6");
            if (mode == Mode::Forced) {
                logMessage(levelError, "This will result in VPN bleed - exiting.");
                return;
            }
        }
    }
    if (mode == Mode::Basic) return;
    if (address.empty()) {
        logMessage(levelError, "Received empty address for connection successful\n");
        return;
    }
    if (routing::EnableRouteForIpv4(address) == 0) {
        const std::string text(address);
        logMessage(levelError, "Could not set route for IPv4 with address %s\n", text.c_str());
    }
}

void ConnectionSuccessful6(std::string_view address) {
    Handler handler;
    desktop::network_manager::Unmanage(address);
    state().connecting = 0;
    if (currentMode() == Mode::Basic || address.empty()) return;
    if (routing::EnableRouteForIpv6(address) == 0) {
        const std::string text(address);
        logMessage(levelError, "Could not set route for IPv6 with address %s\n", text.c_str());
    }
}

void ConnectionSuccessful() {
    Handler handler;
    State& s = state();
    s.connecting = 0;
    if (s.connected) return;
    if (currentMode() != Mode::Basic) {
        // Lockdown installed them when it began; a forced-mode connection holds them from now.
        if (currentMode() == Mode::Forced) {
            routing::InstallKillSwitch();
            holdGuard(true);
        }
        routing::CloseDefaultRoutes();
        RemoveDnsAddresses();
        routing::StartRouteWatchThread();
        routing::EnsureKillSwitch();  // what went while no watcher listened
    }
    s.connected = 1;
}

void ConnectionFailed() {
    Handler handler;
    State& s = state();
    logMessage(levelInfo, "The Connection has Failed");
    s.connecting = 0;
    if (s.connected) {
        logMessage(levelInfo, "Previously connected - closing connections....");
        ConnectionClosed();
    } else if (currentMode() != Mode::Basic) {
        logMessage(levelInfo, "Not Previously connected - tidying up custom routes....");
        routing::DisableCustomRoutes();
    } else {
        logMessage(levelInfo, "In basic mode - nothing to do.");
    }
}

void ConnectionClosed() {
    Handler handler;
    desktop::network_manager::GiveBack();
    State& s = state();
    if (!s.connected && !s.connecting) return;
    s.connecting = 0;
    s.connected = 0;
    switch (currentMode()) {
        case Mode::Lockdown:
            // Lockdown stays in force: default routes removed again, watchers restarted.
            logMessage(levelInfo, "Disabling LockDown Mode");
            routing::CloseDefaultRoutes();
            routing::DisableCustomRoutes();
            RemoveDnsAddresses();
            routing::StartRouteWatchThread();
            routing::EnsureKillSwitch();  // what went while no watcher listened
            dns::ResetDns();
            dns::InitializeDnsVariables();
            break;
        case Mode::Forced:
            logMessage(levelInfo, "Disabling Forced Mode");
            routing::StopRouteWatchThread();
            routing::DisableCustomRoutes();
            routing::RemoveKillSwitch();
            routing::ReopenDefaultRoutes();
            routing::FreeDefaultRoutes();
            DisableForcedMode();
            dns::ResetDns();
            dns::InitializeDnsVariables();
            break;
        case Mode::Basic:
            // The resolver file is restored only on request in basic mode.
            logMessage(levelInfo, "Disabling Basic Mode");
            routing::DisableCustomRoutes();
            routing::ReopenIpv6Routes();
            routing::FreeDefaultRoutes();
            break;
    }
}

int SetServerAddress(std::string_view address) {
    Handler handler;
    return currentMode() == Mode::Basic ? 0 : routing::SetRouteForServer(address);
}

int SetServerAddress6(std::string_view address) {
    Handler handler;
    return currentMode() == Mode::Basic ? 0 : routing::SetRouteForServer6(address);
}

int AddDnsAddress(std::string_view address) {
    Handler handler;
    return currentMode() == Mode::Lockdown ? routing::SetRouteForDns(address) : 0;
}

int AddDnsAddress6(std::string_view address) {
    Handler handler;
    return currentMode() == Mode::Lockdown ? routing::SetRouteForDns6(address) : 0;
}

void RemoveDnsAddresses() {
    Handler handler;
    if (currentMode() != Mode::Lockdown) return;
    logMessage(levelInfo, "Unsetting DNS addresses");
    routing::UnsetRoutesForDns();
    routing::UnsetRoutesForDns6();
}

void SetAsDisconnected() {
    StateGuard guard;
    state().connected = 0;
}

}  // namespace modes
