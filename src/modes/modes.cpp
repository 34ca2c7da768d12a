#include "modes/modes.h"

#include <array>

#include "core/log.h"
#include "desktop/network_manager.h"
#include "dns/resolver.h"
#include "guard/guard.h"
#include "modes/steps.h"
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

void recordModes() {
    const State& s = state();
    routing::SaveModes({s.lockdownEnabled != 0, s.forcedEnabled != 0, s.connected != 0,
                        s.connecting != 0, currentRun()});
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
    intent.tunnels = routing::CurrentTunnel().names();
    intent.lan = routing::LanScope();
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

// Lockdown holds by its rules even when a part of it failed; each failed part is said.
void reportIncompleteLockdown() {
    if (!routing::HasSavedGateway()) {
        // As at boot, before the network is configured: the route watchers save the gateway
        // of the first default route the network adds, and remove that route.
        logMessage(levelInfo,
                   "Lockdown is on before any default route: the gateway of the first one the "
                   "network adds is saved for the server and DNS routes");
    }
    if (routing::DefaultRouteRemains()) {
        logMessage(levelError, "Lockdown is on but a default route outside the tunnel remains");
    }
    if (!routing::RouteWatchersListening()) {
        logMessage(levelError, "Lockdown is on but the route watchers do not listen");
    }
    if (guard::CurrentStatus().standing == guard::Standing::Missing) {
        logMessage(levelError,
                   "Lockdown is on but the packet filter guard could not be put in place: only "
                   "the kill switch's rules and the route watchers hold");
    }
}

void removeDnsAddresses() {
    if (currentMode() != Mode::Lockdown) return;
    logMessage(levelInfo, "Unsetting DNS addresses");
    routing::UnsetRoutesForDns();
    routing::UnsetRoutesForDns6();
}

// --- Steps ----------------------------------------------------------------------------------
// Each runs one routing, guard or resolver operation, or changes one flag. Every step can run
// again after a kill cut it short: installs take what stands as done, removals what is gone.

template <void (*Operation)()>
void call(StepContext&) {
    Operation();
}

void retrieveForLockdown(StepContext&) {
    // While connected the tunnel's default route is in the table: the saved gateways stand.
    if (state().connected || routing::RetrieveDefaultRoutes() == 0) return;
    // Lockdown holds without a gateway, as it does before the network comes up at boot: the
    // route watchers learn the gateways from the default routes that appear.
    logMessage(levelWarning,
               "Could not retrieve default routing tables from system; lockdown holds and saves "
               "the gateways of the default routes that appear");
}

void blackholeForLockdown(StepContext& c) {
    if (routing::CheckForIpv6Environment() != 1 || routing::DisableIpv6() == 1) return;
    logMessage(levelError, "Could not Disable IPv6, not setting lockdown.");
    dropKillSwitchLeftAtStart();
    c.ended = true;
}

void holdGuardStep(StepContext&) {
    holdGuard(true);
}
void lockdownOn(StepContext&) {
    state().lockdownEnabled = 1;
}
void lockdownOff(StepContext&) {
    state().lockdownEnabled = 0;
}
void forcedOn(StepContext&) {
    state().forcedEnabled = 1;
}
void forcedOff(StepContext&) {
    state().forcedEnabled = 0;
}
void connectingOn(StepContext&) {
    state().connecting = 1;
    ++state().connectionAttempt;
}
void notConnecting(StepContext&) {
    state().connecting = 0;
}
void connectedOn(StepContext&) {
    state().connected = 1;
}
void disconnected(StepContext&) {
    state().connecting = 0;
    state().connected = 0;
}

void retrieveForForced(StepContext&) {
    // While connected the tunnel's default route is in the table: the saved gateways stand.
    if (currentMode() != Mode::Forced || state().connected || routing::RetrieveDefaultRoutes() == 0)
        return;
    logMessage(levelWarning,
               "No default routes have been found. This will probably result in failure to "
               "recreate routes.");
}

void checkIpv6(StepContext& c) {
    c.ipv6Host = routing::CheckForIpv6Environment();
}

void blockIpv6Basic(StepContext& c) {
    if (c.ipv6Host != 1) return;
    if (routing::RetrieveDefaultRoutes() != 0) {
        logMessage(levelWarning,
                   "Could not retrieve default routes in BASIC mode. Will not disable IPv6.");
        c.ended = true;
        return;
    }
    routing::CloseIpv6Routes();
    if (routing::DisableIpv6() == 0) logMessage(levelWarning, "Could not disable IPv6");
}

void blockIpv6Forced(StepContext& c) {
    if (c.ipv6Host != 1 || routing::DisableIpv6() == 1) return;
    logMessage(levelWarning, "Could not disable IPv6");
    logMessage(levelError, "This will result in VPN bleed - exiting.");
    c.ended = true;
}

// NetworkManager leaves the tunnel device as OpenVPN set it up until the close gives it back.
void unmanageTunnel(StepContext& c) {
    if (c.argument.empty()) return;  // the route step reports it
    const std::optional<routing::TunnelDevice> device = routing::NoteTunnelDevice(c.argument);
    if (!device) {
        logMessage(levelInfo, "Leaving NetworkManager alone: %s is not reached through a tunnel",
                   c.argument.c_str());
        return;
    }
    desktop::network_manager::Unmanage(device->name);
}

void tunnelRoute4(StepContext& c) {
    if (c.argument.empty()) {
        logMessage(levelError, "Received empty address for connection successful\n");
        return;
    }
    if (routing::EnableRouteForIpv4(c.argument) == 0)
        logMessage(levelError, "Could not set route for IPv4 with address %s\n",
                   c.argument.c_str());
}

void tunnelRoute6(StepContext& c) {
    if (currentMode() == Mode::Basic || c.argument.empty()) return;
    if (routing::EnableRouteForIpv6(c.argument) == 0)
        logMessage(levelError, "Could not set route for IPv6 with address %s\n",
                   c.argument.c_str());
}

void serverRoute(StepContext& c) {
    c.result = routing::SetRouteForServer(c.argument);
}
void serverRoute6(StepContext& c) {
    c.result = routing::SetRouteForServer6(c.argument);
}
void dnsRoute(StepContext& c) {
    c.result = routing::SetRouteForDns(c.argument);
}
void dnsRoute6(StepContext& c) {
    c.result = routing::SetRouteForDns6(c.argument);
}
// systemd-resolved is given the server for the tunnel's device it is reached through, and for
// nothing else. A replacement alone makes no device the connection's.
void replaceDns(StepContext& c) {
    const std::optional<routing::TunnelDevice> device = routing::TunnelDeviceFor(c.argument);
    dns::ReplaceDns(c.argument,
                    device ? std::optional<int>(static_cast<int>(device->index)) : std::nullopt);
}

// --- Sequences ------------------------------------------------------------------------------
// Each handler's operations in their fixed order; the kill switch goes in before the default routes
// go and out before they come back, and the guard is held with it (and brought up to date at
// every handler's end).

constexpr Step enableLockdownSteps[] = {
    {"RetrieveDefaultRoutes", retrieveForLockdown},
    {"DisableIpv6", blackholeForLockdown},
    {"InstallKillSwitch", call<routing::InstallKillSwitch>},
    {"HoldGuard", holdGuardStep},
    {"CloseDefaultRoutes", call<routing::CloseDefaultRoutes>},
    {"StartRouteWatchThread", call<routing::StartRouteWatchThread>},
    {"LockdownEnabled", lockdownOn},
};
constexpr Step disableLockdownSteps[] = {
    {"StopRouteWatchThread", call<routing::StopRouteWatchThread>},
    {"RemoveDnsAddresses", call<removeDnsAddresses>},  // still in lockdown: they go
    {"RemoveKillSwitch", call<routing::RemoveKillSwitch>},
    {"ReopenDefaultRoutes", call<routing::ReopenDefaultRoutes>},
    {"FreeDefaultRoutes", call<routing::FreeDefaultRoutes>},
    {"LockdownDisabled", lockdownOff},
};
constexpr Step enableForcedSteps[] = {{"ForcedEnabled", forcedOn}};
constexpr Step disableForcedSteps[] = {{"ForcedDisabled", forcedOff}};
constexpr Step prepareSteps[] = {
    {"Connecting", connectingOn},
    {"RetrieveDefaultRoutes", retrieveForForced},
};
constexpr Step successful4LockdownSteps[] = {
    {"UnmanageTunnelDevice", unmanageTunnel},
    {"CheckForIpv6Environment", checkIpv6},
    {"NotConnecting", notConnecting},
    {"EnableRouteForIpv4", tunnelRoute4},  // lockdown blocked IPv6 when it began
};
constexpr Step successful4ForcedSteps[] = {
    {"UnmanageTunnelDevice", unmanageTunnel}, {"CheckForIpv6Environment", checkIpv6},
    {"NotConnecting", notConnecting},         {"DisableIpv6", blockIpv6Forced},
    {"EnableRouteForIpv4", tunnelRoute4},
};
constexpr Step successful4BasicSteps[] = {
    {"UnmanageTunnelDevice", unmanageTunnel},
    {"CheckForIpv6Environment", checkIpv6},
    {"NotConnecting", notConnecting},
    {"CloseIpv6Routes", blockIpv6Basic},
};
constexpr Step successful6Steps[] = {
    {"UnmanageTunnelDevice", unmanageTunnel},
    {"NotConnecting", notConnecting},
    {"EnableRouteForIpv6", tunnelRoute6},
};
constexpr Step successfulLockdownSteps[] = {
    {"NotConnecting", notConnecting},
    {"CloseDefaultRoutes", call<routing::CloseDefaultRoutes>},
    {"RemoveDnsAddresses", call<removeDnsAddresses>},
    {"StartRouteWatchThread", call<routing::StartRouteWatchThread>},
    {"EnsureKillSwitch", call<routing::EnsureKillSwitch>},  // what went while none listened
    {"Connected", connectedOn},
};
constexpr Step successfulForcedSteps[] = {
    {"NotConnecting", notConnecting},
    {"InstallKillSwitch", call<routing::InstallKillSwitch>},  // held from now on
    {"HoldGuard", holdGuardStep},
    {"CloseDefaultRoutes", call<routing::CloseDefaultRoutes>},
    {"StartRouteWatchThread", call<routing::StartRouteWatchThread>},
    {"EnsureKillSwitch", call<routing::EnsureKillSwitch>},
    {"Connected", connectedOn},
};
constexpr Step successfulBasicSteps[] = {
    {"NotConnecting", notConnecting},
    {"Connected", connectedOn},
};
constexpr Step failedSteps[] = {
    {"NotConnecting", notConnecting},
    {"DisableCustomRoutes", call<routing::DisableCustomRoutes>},
};
constexpr Step closedLockdownSteps[] = {
    {"Disconnected", disconnected},
    {"CloseDefaultRoutes", call<routing::CloseDefaultRoutes>},
    {"DisableCustomRoutes", call<routing::DisableCustomRoutes>},
    {"RemoveDnsAddresses", call<removeDnsAddresses>},
    {"StartRouteWatchThread", call<routing::StartRouteWatchThread>},
    {"EnsureKillSwitch", call<routing::EnsureKillSwitch>},
    {"ResetDns", call<dns::ResetDns>},
    {"InitializeDnsVariables", call<dns::InitializeDnsVariables>},
};
constexpr Step closedForcedSteps[] = {
    {"Disconnected", disconnected},
    {"StopRouteWatchThread", call<routing::StopRouteWatchThread>},
    {"DisableCustomRoutes", call<routing::DisableCustomRoutes>},
    {"RemoveKillSwitch", call<routing::RemoveKillSwitch>},
    {"ReopenDefaultRoutes", call<routing::ReopenDefaultRoutes>},
    {"FreeDefaultRoutes", call<routing::FreeDefaultRoutes>},
    {"DisableForcedMode", call<DisableForcedMode>},
    {"ResetDns", call<dns::ResetDns>},
    {"InitializeDnsVariables", call<dns::InitializeDnsVariables>},
};
constexpr Step closedBasicSteps[] = {
    {"Disconnected", disconnected},
    {"DisableCustomRoutes", call<routing::DisableCustomRoutes>},
    {"ReopenIpv6Routes", call<routing::ReopenIpv6Routes>},
    {"FreeDefaultRoutes", call<routing::FreeDefaultRoutes>},
};
constexpr Step serverSteps[] = {{"SetRouteForServer", serverRoute}};
constexpr Step server6Steps[] = {{"SetRouteForServer6", serverRoute6}};
constexpr Step dnsSteps[] = {{"SetRouteForDns", dnsRoute}};
constexpr Step dns6Steps[] = {{"SetRouteForDns6", dnsRoute6}};
constexpr Step removeDnsSteps[] = {
    {"UnsetRoutesForDns", call<routing::UnsetRoutesForDns>},
    {"UnsetRoutesForDns6", call<routing::UnsetRoutesForDns6>},
};
constexpr Step replaceDnsSteps[] = {{"ReplaceDns", replaceDns}};
constexpr Step resetDnsSteps[] = {{"ResetDns", call<dns::ResetDns>}};
constexpr Step initializeDnsSteps[] = {
    {"InitializeDnsVariables", call<dns::InitializeDnsVariables>}};

using enum Resume;
constexpr Sequence enableLockdown{"EnableLockdown", enableLockdownSteps, Complete,
                                  Effect::EntersLockdown};
constexpr Sequence disableLockdown{"DisableLockdown", disableLockdownSteps, Complete,
                                   Effect::LeavesLockdown};
constexpr Sequence enableForced{"EnableForcedMode", enableForcedSteps, Complete};
constexpr Sequence disableForced{"DisableForcedMode", disableForcedSteps, Complete};
constexpr Sequence prepare{"PrepareForTunnel", prepareSteps, Complete};
// What brings a connection up is undone by its close when a kill cut it short: the tunnel it
// was bringing up ended with the daemon.
constexpr Sequence successful4Lockdown{"ConnectionSuccessful4.Lockdown", successful4LockdownSteps,
                                       Close};
constexpr Sequence successful4Forced{"ConnectionSuccessful4.Forced", successful4ForcedSteps, Close};
constexpr Sequence successful4Basic{"ConnectionSuccessful4.Basic", successful4BasicSteps, Close};
constexpr Sequence successful6{"ConnectionSuccessful6", successful6Steps, Close};
constexpr Sequence successfulLockdown{"ConnectionSuccessful.Lockdown", successfulLockdownSteps,
                                      Close};
constexpr Sequence successfulForced{"ConnectionSuccessful.Forced", successfulForcedSteps, Close};
constexpr Sequence successfulBasic{"ConnectionSuccessful.Basic", successfulBasicSteps, Close};
constexpr Sequence failed{"ConnectionFailed", failedSteps, Complete, Effect::ClosesConnection};
constexpr Sequence closedLockdown{"ConnectionClosed.Lockdown", closedLockdownSteps, Complete,
                                  Effect::ClosesConnection};
constexpr Sequence closedForced{"ConnectionClosed.Forced", closedForcedSteps, Complete,
                                Effect::ClosesConnection};
constexpr Sequence closedBasic{"ConnectionClosed.Basic", closedBasicSteps, Complete,
                               Effect::ClosesConnection};
constexpr Sequence server{"SetServerAddress", serverSteps, Complete};
constexpr Sequence server6{"SetServerAddress6", server6Steps, Complete};
constexpr Sequence dnsServer{"AddDnsAddress", dnsSteps, Complete};
constexpr Sequence dnsServer6{"AddDnsAddress6", dns6Steps, Complete};
constexpr Sequence removeDns{"RemoveDnsAddresses", removeDnsSteps, Complete};
// The start gives the resolver file back whatever its record says, and takes back the link
// resolved was given: a replacement cut short is undone, a restore completed.
constexpr Sequence replaceDnsSequence{"ReplaceDns", replaceDnsSteps, Forget};
constexpr Sequence resetDnsSequence{"ResetDns", resetDnsSteps, Forget};
constexpr Sequence initializeDnsSequence{"InitializeDnsVariables", initializeDnsSteps, Forget};

constexpr std::array<const Sequence*, 24> sequences = {
    &enableLockdown,
    &disableLockdown,
    &enableForced,
    &disableForced,
    &prepare,
    &successful4Lockdown,
    &successful4Forced,
    &successful4Basic,
    &successful6,
    &successfulLockdown,
    &successfulForced,
    &successfulBasic,
    &failed,
    &closedLockdown,
    &closedForced,
    &closedBasic,
    &server,
    &server6,
    &dnsServer,
    &dnsServer6,
    &removeDns,
    &replaceDnsSequence,
    &resetDnsSequence,
    &initializeDnsSequence,
};

const Sequence& byMode(const Sequence& lockdown, const Sequence& forced, const Sequence& basic) {
    switch (currentMode()) {
        case Mode::Lockdown:
            return lockdown;
        case Mode::Forced:
            return forced;
        case Mode::Basic:
            break;
    }
    return basic;
}

// Outside lockdown nothing of an earlier run's holds may stay but an attempt at a connection
// under way: the default routes it removed come back, and host routes that no attempt needs go.
void giveBackWhatAnEarlierRunTook() {
    const routing::SavedState held = routing::CurrentState();
    if (!held.removedRoutes.empty()) {
        logMessage(levelInfo, "Giving back the routes an earlier run left");
        routing::ReopenDefaultRoutes();
    }
    if (state().connecting) return;
    if (held.serverAddress || held.serverAddress6) routing::DisableCustomRoutes();
    routing::UnsetRoutesForDns();
    routing::UnsetRoutesForDns6();
    routing::FreeDefaultRoutes();
}

// The server and DNS host routes of an attempt under way are set again, the way of the gateway
// of the moment: a kill may have come between the record of one and its route, and the network
// may have changed while no daemon ran.
void setHostRoutesAgain() {
    const routing::SavedState held = routing::CurrentState();
    if (held.ipv4Gateway && (held.serverAddress || !held.dnsAddresses.empty()))
        routing::MoveHostRoutes(AF_INET);
    if (held.ipv6Gateway && (held.serverAddress6 || !held.dnsAddresses6.empty()))
        routing::MoveHostRoutes(AF_INET6);
}

void resumeFlags(const routing::ModesRecord& record) {
    State& s = state();
    s.lockdownEnabled = record.lockdown ? 1 : 0;
    s.forcedEnabled = record.forced ? 1 : 0;
    s.connected = record.connected ? 1 : 0;
    s.connecting = record.connecting ? 1 : 0;
}

}  // namespace

std::span<const Sequence* const> allSequences() {
    return sequences;
}

void InitRoutingVariables() {
    StateGuard guard;
    State& s = state();
    s.lockdownEnabled = 0;
    s.forcedEnabled = 0;
    s.connected = 0;
    s.connecting = 0;
    routing::InitRoutingVariablesOs();
    dns::SetResolvedLinkRecorder(routing::SaveResolvedLink);
    desktop::network_manager::SetUnmanagedRecorder(routing::SaveUnmanagedDevices);
}

void EnableLockdown() {
    Handler handler;
    if (state().lockdownEnabled) return;
    logMessage(levelInfo, "Enabling lockdown mode.");
    if (!runSequence(enableLockdown).ended) reportIncompleteLockdown();
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
    bool refused = false;
    const std::optional<routing::SavedState> saved = routing::LoadState(&refused);
    if (refused) {
        // The earlier run may have been in lockdown: fail closed rather than drop it.
        logMessage(levelError, "Keeping lockdown: what an earlier run held cannot be known");
        configuredLockdown = true;
    }
    const ResumePlan plan = planResume(saved, configuredLockdown);
    if (saved) {
        routing::ResumeState(*saved);
        resumeFlags(saved->modes);
    }
    if (plan.complete) {
        logMessage(levelWarning, "Completing %s, which the end of an earlier run cut short",
                   plan.complete->name);
        runSequence(*plan.complete, plan.argument, plan.step);
    }
    if (plan.closeConnection) {
        logMessage(levelInfo, "Closing the connection of an earlier run: its OpenVPN has ended");
        state().connected = 1;
        ConnectionClosed();
    }
    if (saved && saved->resolvedLink) dns::TakeBackResolvedLink(*saved->resolvedLink);
    if (saved) desktop::network_manager::GiveBackAfterRestart(saved->unmanagedDevices);
    setHostRoutesAgain();
    KillSwitchAtStart(plan.lockdown);
    // Lockdown is entered afresh: its watchers and guard are this run's to start.
    state().lockdownEnabled = 0;
    if (plan.lockdown) {
        EnableLockdown();
    } else {
        giveBackWhatAnEarlierRunTook();
        recordModes();
    }
}

void DisableLockdown() {
    Handler handler;
    if (!state().lockdownEnabled) return;
    logMessage(levelInfo, "Disabling lockdown mode.");
    // The record names this run from its first step on: a restart after a kill finishes it,
    // and never puts lockdown back on a host its user released.
    runSequence(disableLockdown);
}

void EnableForcedMode() {
    Handler handler;
    logMessage(levelInfo, "Enabling forced mode.\n");
    runSequence(enableForced);
}

void DisableForcedMode() {
    Handler handler;
    logMessage(levelInfo, "Disabling forced mode.\n");
    runSequence(disableForced);
}

void PrepareForTunnel() {
    Handler handler;
    runSequence(prepare);
}

void ConnectionSuccessful4(std::string_view address) {
    Handler handler;
    runSequence(byMode(successful4Lockdown, successful4Forced, successful4Basic),
                std::string(address));
}

void ConnectionSuccessful6(std::string_view address) {
    Handler handler;
    runSequence(successful6, std::string(address));
}

void ConnectionSuccessful() {
    Handler handler;
    State& s = state();
    if (s.connected) {
        // A repeated report only ends the attempt.
        s.connecting = 0;
        recordModes();
        return;
    }
    runSequence(byMode(successfulLockdown, successfulForced, successfulBasic));
}

void ConnectionFailed() {
    Handler handler;
    State& s = state();
    logMessage(levelInfo, "The Connection has Failed");
    // A device taken at connectionsuccesful4/6 goes back whether or not the connection was up.
    desktop::network_manager::GiveBack();
    s.connecting = 0;
    if (s.connected) {
        logMessage(levelInfo, "Previously connected - closing connections....");
        ConnectionClosed();
    } else if (currentMode() != Mode::Basic) {
        logMessage(levelInfo, "Not Previously connected - tidying up custom routes....");
        runSequence(failed);
    } else {
        recordModes();
        logMessage(levelInfo, "In basic mode - nothing to do.");
    }
}

void ConnectionClosed() {
    Handler handler;
    // Whatever the flags say: a tunnel device was taken at connectionsuccesful4/6, which may
    // have come without the connectionsuccesful that marks the connection up.
    desktop::network_manager::GiveBack();
    State& s = state();
    if (!s.connected && !s.connecting) return;
    switch (currentMode()) {
        case Mode::Lockdown:
            // Lockdown stays in force: default routes removed again, watchers restarted.
            logMessage(levelInfo, "Disabling LockDown Mode");
            break;
        case Mode::Forced:
            logMessage(levelInfo, "Disabling Forced Mode");
            break;
        case Mode::Basic:
            // The resolver file is restored only on request in basic mode.
            logMessage(levelInfo, "Disabling Basic Mode");
            break;
    }
    runSequence(byMode(closedLockdown, closedForced, closedBasic));
}

int SetServerAddress(std::string_view address) {
    Handler handler;
    if (currentMode() == Mode::Basic) return 0;
    return runSequence(server, std::string(address)).result;
}

int SetServerAddress6(std::string_view address) {
    Handler handler;
    if (currentMode() == Mode::Basic) return 0;
    return runSequence(server6, std::string(address)).result;
}

int AddDnsAddress(std::string_view address) {
    Handler handler;
    if (currentMode() != Mode::Lockdown) return 0;
    return runSequence(dnsServer, std::string(address)).result;
}

int AddDnsAddress6(std::string_view address) {
    Handler handler;
    if (currentMode() != Mode::Lockdown) return 0;
    return runSequence(dnsServer6, std::string(address)).result;
}

void RemoveDnsAddresses() {
    Handler handler;
    if (currentMode() != Mode::Lockdown) return;
    logMessage(levelInfo, "Unsetting DNS addresses");
    runSequence(removeDns);
}

void ReplaceDns(std::string_view address) {
    Handler handler;
    runSequence(replaceDnsSequence, std::string(address));
}

void ResetDns() {
    Handler handler;
    runSequence(resetDnsSequence);
}

void InitializeDnsVariables() {
    Handler handler;
    runSequence(initializeDnsSequence);
}

void SetAsDisconnected() {
    StateGuard guard;
    state().connected = 0;
}

}  // namespace modes
