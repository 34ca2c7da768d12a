#pragma once

// What a restart needs of the daemon's memory, kept in one small file, written whole before
// every change and after it, read before anything else at start: the modes' flags and the run
// of steps under way, the default routes the daemon removed and never gave back, the gateways
// it routes through, the host routes it added, the tunnel's gateways and device, the link
// that systemd-resolved holds the tunnel's server for, and the devices taken from
// NetworkManager. The file has a section per owner; the modes, dns and desktop hand their
// parts to routing, which writes them all.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "routing/remembered_routes.h"

namespace routing {

// A run of a sequence of steps that began and had not ended when the record was made.
struct InFlight {
    std::string sequence;  // its name: letters, digits and dots
    unsigned step = 0;     // the step about to run, or running
    std::string argument;  // the address text it was run with; empty for none
    bool operator==(const InFlight&) const = default;
};

// The modes' part: their flags, and the run under way.
struct ModesRecord {
    bool lockdown = false;
    bool forced = false;
    bool connected = false;
    bool connecting = false;
    std::optional<InFlight> inFlight;
    bool operator==(const ModesRecord&) const = default;
};

struct SavedState {
    ModesRecord modes;
    std::vector<DefaultRoute> removedRoutes;
    std::optional<DefaultRoute> ipv4Gateway, ipv6Gateway;
    std::optional<std::string> serverAddress, serverAddress6;
    std::vector<std::string> dnsAddresses, dnsAddresses6;
    // The tunnel's gateways, recorded before their routes are added, and the devices those
    // routes went through: never a physical network.
    std::optional<std::string> tunnelAddress, tunnelAddress6;
    std::vector<std::string> tunnelDevices;
    // dns's part: the link systemd-resolved was given the tunnel's server for.
    std::optional<int> resolvedLink;
    // desktop's part: the devices taken from NetworkManager, by name, to be given back.
    std::vector<std::string> unmanagedDevices;
    bool operator==(const SavedState&) const = default;
};

std::string formatState(const SavedState& saved);
// None unless every line is understood: a file that cannot be read whole is never trusted.
std::optional<SavedState> parseState(std::string_view text);

// A copy of the state as the state file holds it, the parts last handed over included.
SavedState CurrentState();

// Writes the state file; removes it when there is nothing a restart would need. False, with
// an error in the log, when it could not: a restart would then not know what this run holds.
bool saveState();
// Whether the latest save failed; `status:` says so until a save succeeds.
bool StateUnsaved();
// The modes' part of the file, written at once.
void SaveModes(const ModesRecord& record);
// dns's part: the link resolved holds the tunnel's server for, or none; written at once.
void SaveResolvedLink(std::optional<int> link);
// desktop's part: the devices taken from NetworkManager; written at once.
void SaveUnmanagedDevices(const std::vector<std::string>& devices);
// Reads the state file of an earlier run. It is trusted only when it is root's alone: a
// regular file owned by root with mode 0600, in a directory that root owns and nobody else
// may write. A file that is not, or that cannot be read whole or parsed, is an error; none is
// returned and `refused`, when given, is set, so that the caller does not take it for an
// absent one. One that cannot be parsed is also set aside.
std::optional<SavedState> LoadState(bool* refused = nullptr);
// Takes an earlier run's routing state (and dns's part) as this one's.
void ResumeState(const SavedState& saved);

}  // namespace routing
