#pragma once

// The tunnel's DNS server for systemd-resolved. Where resolved runs, programs that resolve
// through its NSS module or its D-Bus API never read the resolver file, so a replacement of the
// file alone would leave them on the physical link's servers. The tunnel's link gets the server
// with the routing domain "~." and as default route for DNS: every name then goes through the
// tunnel, except names under a search domain of another link (the LAN's own "host.lan"), which
// resolved still sends to that link's servers.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "netlink/address.h"

namespace dns::resolved {

// The methods of org.freedesktop.resolve1.Manager that the daemon calls, with their arguments.
struct SetLinkDns {
    int ifindex = 0;
    netlink::Address server;
    bool operator==(const SetLinkDns&) const = default;
};
struct SetLinkDomains {
    int ifindex = 0;
    std::string domain;
    bool routingOnly = false;
    bool operator==(const SetLinkDomains&) const = default;
};
struct SetLinkDefaultRoute {
    int ifindex = 0;
    bool enable = false;
    bool operator==(const SetLinkDefaultRoute&) const = default;
};
struct RevertLink {
    int ifindex = 0;
    bool operator==(const RevertLink&) const = default;
};
using Call = std::variant<SetLinkDns, SetLinkDomains, SetLinkDefaultRoute, RevertLink>;

// The D-Bus name of a call's method.
const char* methodName(const Call& call);

// A D-Bus error that a call returned.
struct BusError {
    std::string name, message;
};

// What the resolved client asks of the outside world. The daemon uses the system bus; unit tests
// put recorders in their place.
struct Bus {
    // Connects to the system bus afresh; whether org.freedesktop.resolve1 has an owner there.
    std::function<bool()> connect;
    // Calls one method on the connection `connect` made; the error, if it failed.
    std::function<std::optional<BusError>(const Call& call)> call;
};

// The bus the resolver operations use; the system's unless a test replaced it.
Bus& bus();
Bus systemBus();

// Records the link resolved holds the tunnel's server for (none once nothing is held), so that
// a restart can take back what a daemon that ended left given.
using LinkRecord = std::function<void(std::optional<int> link)>;

// Gives `address` to resolved for `link`, the tunnel's device the kernel routes it through,
// when resolved runs and there is such a device (none for a server on an uplink, a tap device
// or a link-local one): a mistake only ever leaves resolved alone, never hands the physical
// link's DNS settings to the tunnel's server. The link is recorded before it is given. `given` is
// the link given earlier, which is taken back when the link changed. A call that resolved refuses
// takes back what the calls before it set. Returns the link resolved now holds the server for.
std::optional<int> Give(std::string_view address, std::optional<int> link, std::optional<int> given,
                        const LinkRecord& record);
// Takes back what was given to resolved for `ifindex`; false when resolved refused, so that
// what it holds still holds.
bool TakeBack(int ifindex);

}  // namespace dns::resolved
