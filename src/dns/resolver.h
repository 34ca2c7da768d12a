#pragma once

#include <functional>
#include <optional>
#include <string_view>

namespace dns {

// The first line of every resolver file the daemon writes.
inline constexpr std::string_view headerLine = "# Written by TELVORD";

// Saves the resolver file byte for byte and replaces it by a file naming one nameserver.
// `tunnelLink` is the tunnel's device the nameserver is reached through, if it is: systemd-
// resolved is given the server for that link alone.
void ReplaceDns(std::string_view address, std::optional<int> tunnelLink = std::nullopt);
// Writes the saved resolver file back and removes the backup.
void ResetDns();
// Whether the resolver file holds a replacement of the daemon's now.
bool ReplacementInForce();
// Deals with a backup still present: written back when the resolver file is still ours,
// discarded otherwise, kept when a restore could not write it back.
void InitializeDnsVariables();
// Where the link that systemd-resolved is given the tunnel's server for is recorded: before
// it is given, and as none once it is taken back.
void SetResolvedLinkRecorder(std::function<void(std::optional<int>)> record);
// Takes back from systemd-resolved what was given for `link`, by this run or by an earlier
// one that a record names.
void TakeBackResolvedLink(int link);

}  // namespace dns
