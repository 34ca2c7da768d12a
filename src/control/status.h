#pragma once

// The answer to "status:": one frame of "key=value" lines that says what the daemon holds,
// for people and scripts (telvorctl status). It asks the modes, routing, the resolver and the
// launcher for copies of their state and changes nothing.

#include <sys/types.h>

#include <optional>
#include <string>

#include "guard/guard.h"
#include "modes/modes.h"
#include "routing/routing.h"
#include "routing/state_file.h"

namespace control {

// How much of a thing made of pieces the kernel holds.
enum class Presence { Complete, Partial, Absent, Unknown };

struct Status {
    modes::Mode mode = modes::Mode::Basic;
    bool lockdown = false, forced = false, connected = false;
    // Both families' rules and table routes, as the kernel holds them.
    Presence killSwitch = Presence::Unknown;
    std::optional<bool> blackhole;  // the IPv6 blackhole default route; none without IPv6
    guard::Status guard;            // the egress guard and its refused-packet count
    routing::WatchersStanding watchers = routing::WatchersStanding::Off;
    routing::SavedState routing;  // remembered routes, gateways, server and DNS routes
    routing::Tunnel tunnel;       // its gateways and devices
    bool resolverReplaced = false;
    std::optional<pid_t> openVpn;
    bool stateUnsaved = false;  // the latest write of the state file failed
    // The account OpenVPN runs as once its tunnel is made; none when there is none.
    std::optional<std::string> openVpnUser;
    bool openVpnUserFallback = false;  // the configured account is missing: nobody stands in
};

// The lines, cut at a whole line so that they fit one frame with its NUL.
std::string formatStatus(const Status& status);
// The lines of the mode and the connection alone: what a user who may not change what the
// daemon does is told.
std::string formatReducedStatus(const Status& status);
// The daemon's status now, every piece it reports asked of the kernel; the caller holds the
// state lock.
Status currentStatus();
// Its mode and connection flags alone, which cost no look at the kernel; the caller holds the
// state lock.
Status currentModeStatus();

}  // namespace control
