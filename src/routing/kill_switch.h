#pragma once

// The kill switch: while lockdown or a forced-mode connection holds, two policy routing rules
// per family keep every default route of the main table from carrying a packet, before any
// watcher has deleted it, and while the daemon is not running at all:
//
//   priority killSwitchPriority      lookup main suppress_prefixlength 0
//   priority killSwitchPriority + 1  lookup killSwitchTable
//
// The main table keeps serving everything but default routes (LAN, server and DNS host routes,
// OpenVPN's own routes). killSwitchTable holds an unreachable default route at the highest
// metric and, while the tunnel is up, a copy of the tunnel's default route.
//
// While that copy stands, three more rules of the family come first, so that nothing the LAN
// pushes or claims (a route by DHCP or a router advertisement, a public prefix handed out as
// on-link, a spoofed server address) carries a packet outside the tunnel or cuts one off:
//
//   priority killSwitchPriority - 3  fwmark core::openVpnMark lookup main  (OpenVPN's own)
//   priority killSwitchPriority - 2  to PREFIX lookup main                 (each LAN prefix)
//   priority killSwitchPriority - 1  lookup killSwitchTable                (everything else)
//
// The requests are built by pure functions, so that tests read their bytes; they reach the
// kernel through the kernel seam.

#include <linux/rtnetlink.h>

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/config.h"
#include "netlink/lan.h"
#include "routing/kernel.h"

namespace routing {

// Below the numbers network software commonly uses (5000 to 32765), so that no foreign rule
// is consulted first. Documented in telvord(8).
inline constexpr std::uint32_t killSwitchPriority = 1000;
inline constexpr std::uint32_t killSwitchTable = 1000;

enum class Change { Add, Remove };

struct KillSwitchRule {
    std::uint32_t priority;
    std::uint32_t table;
    bool suppressDefault = false;  // suppress_prefixlength 0
    std::optional<std::uint32_t> mark;
    std::optional<netlink::Prefix> destination;  // its interface aside
    bool operator==(const KillSwitchRule&) const = default;
};
inline constexpr KillSwitchRule killSwitchRules[] = {
    {killSwitchPriority, RT_TABLE_MAIN, true, std::nullopt, std::nullopt},
    {killSwitchPriority + 1, killSwitchTable, false, std::nullopt, std::nullopt},
};
inline constexpr std::uint32_t markPriority = killSwitchPriority - 3;
inline constexpr std::uint32_t lanPriority = killSwitchPriority - 2;
inline constexpr std::uint32_t tunnelFirstPriority = killSwitchPriority - 1;

// The tunnel's rules of a family for the LAN `lan`, in the order they go in: OpenVPN's, the
// LAN's (its prefixes of the family, and with any LAN the family's link-local range), and last
// the one that sends everything else to the tunnel.
std::vector<KillSwitchRule> tunnelRules(int family, std::span<const netlink::Prefix> lan,
                                        core::Lan scope);

// An add never duplicates (NLM_F_EXCL: an existing entry answers EEXIST).
std::vector<std::byte> ruleRequest(Change change, int family, const KillSwitchRule& rule);
std::vector<std::byte> unreachableRequest(Change change, int family);
// The copy in killSwitchTable of a default route of the main table (its gateway, interface,
// metric and on-link flag); on removal, any default route of that table that matches.
std::vector<std::byte> tableCopyRequest(Change change, const RouteInfo& route);
std::vector<std::byte> tableDefaultRemoval(int family);

// What one notification datagram took away of the kill switch.
struct KillSwitchLoss {
    bool rulesOrTable = false;  // one of our rules, or a route of our table
    bool blackhole = false;     // the IPv6 blackhole default route of the main table
};
KillSwitchLoss killSwitchLoss(std::span<const std::byte> datagram, int family);

// What of the kill switch of one family the kernel holds.
struct KillSwitchPieces {
    bool rules[std::size(killSwitchRules)] = {};  // by killSwitchRules
    bool unreachable = false;
    bool tunnelCopy = true;   // the copy of the tunnel's default route; true while none stands
    bool tunnelRules = true;  // the rules the tunnel's route needs; true while none stands
    bool all() const;
    bool none() const;
    // What is missing, for a message: "rule 1001, unreachable route".
    std::string missing() const;
};
// Read from the kernel: none when it cannot be asked, or has no policy routing for the family.
std::optional<KillSwitchPieces> killSwitchPieces(int family);
// Whether every piece of a family is in place: none when the kernel cannot be asked.
std::optional<bool> killSwitchInPlace(int family);

// Puts back what is missing of the kill switch of one family (and the tunnel copy and rules
// while a tunnel text is stored); returns how many entries it had to add.
int ensureKillSwitch(int family);
// Brings the tunnel's rules of one family to what the moment wants: none unless the kill
// switch holds and the family's tunnel text is stored, else those of tunnelRules for the LAN
// of the host's addresses now (those that stand when the addresses cannot be read). Returns how
// many it added.
int ensureTunnelRules(int family);
// Logs an error naming what is missing of the kill switch of one family, if anything.
void reportIncompleteKillSwitch(int family);
// Copies the tunnel's default route into killSwitchTable, or removes that copy, while the
// kill switch holds.
void copyTunnelRoute(int family);
void removeTunnelRoute(int family, const std::string& gateway);

}  // namespace routing
