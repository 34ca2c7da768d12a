#pragma once

// What a restart needs of the daemon's memory: the default routes it removed and never gave
// back, the gateways it routes through, the host routes it added and whether lockdown or
// forced mode was on. Kept in one small file, written whole at every change, read before
// anything else at start. The file has a section per owner; the modes hand their flags to
// routing, which writes both.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "routing/remembered_routes.h"

namespace routing {

struct SavedState {
    bool lockdown = false;
    bool forced = false;
    std::vector<DefaultRoute> removedRoutes;
    std::optional<DefaultRoute> ipv4Gateway, ipv6Gateway;
    std::optional<std::string> serverAddress, serverAddress6;
    std::vector<std::string> dnsAddresses, dnsAddresses6;
    bool operator==(const SavedState&) const = default;
};

std::string formatState(const SavedState& saved);
// None unless every line is understood: a file that cannot be read whole is never trusted.
std::optional<SavedState> parseState(std::string_view text);

// A copy of routing's state as the state file holds it, the modes' flags last handed over
// included.
SavedState CurrentState();

// Writes routing's state (and the modes' flags last handed over) to the state file; removes
// the file when there is nothing a restart would need.
void saveState();
// The modes' part of the file.
void SaveModes(bool lockdown, bool forced);
// Reads the state file of an earlier run. A file that cannot be parsed is logged and set
// aside, and none returned.
std::optional<SavedState> LoadState();
// Takes an earlier run's routing state as this one's.
void ResumeState(const SavedState& saved);

}  // namespace routing
