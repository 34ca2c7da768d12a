#pragma once

// The egress guard: while lockdown holds, and while a forced-mode connection is up, an
// nftables table of the daemon's own refuses every packet that would leave the host outside
// the tunnel, whatever routes the LAN pushes, whatever interface a socket is bound to, and for
// forwarded traffic too (see guard/ruleset.h for what passes). It backs the kill switch's
// rules, which know only default routes.
//
// The table outlives the daemon like the rules do. While the guard holds, one watcher thread
// keeps it current as the uplinks' addresses and the tunnel device come and go, and puts it
// back when another program deletes or changes it.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/config.h"
#include "netlink/address.h"

namespace guard {

// What the guard is to let pass; the rest (the LAN, the tunnel's interface indexes) it reads
// from the kernel.
struct Intent {
    std::vector<std::string> tunnels{};  // the tunnel's interfaces, by name
    std::vector<netlink::Address> servers{}, dnsServers{};
    core::Lan lan = core::Lan::Private;
    bool dnsConfined = false;
    bool operator==(const Intent&) const = default;
};

// Puts the table in place for `intent`, or brings it up to date, in one transaction, and keeps
// it so until Release. Without nf_tables it warns once and holds nothing.
void Hold(const Intent& intent);
// Removes the table, whether this run or an earlier one made it.
void Release();
// Puts the table in place for `intent` once and keeps no watch over it, unless a table stands
// already (the daemon's, which is left as it is): for the lockdown at boot, whose table the
// daemon takes up at its start. False when it could not be put in place; true also without
// nf_tables, which is warned of.
bool Put(const Intent& intent);

enum class Standing {
    Held,         // the table stands as the guard put it
    Missing,      // the guard is to hold, but its table is gone, changed, or was never put
    Released,     // the guard is not to hold
    Unavailable,  // the kernel has no nf_tables
};
struct Status {
    Standing standing = Standing::Released;
    std::optional<std::uint64_t> refused;  // packets refused since the table was made
};
// Asks the kernel whether the table stands as it was put.
Status CurrentStatus();

}  // namespace guard
