#include "dns/resolved.h"

#include <net/if.h>

#include <array>
#include <string>

#include "core/log.h"
#include "util/no_destructor.h"

namespace dns::resolved {
namespace {

using core::levelDebug;
using core::levelError;
using core::levelInfo;
using core::logMessage;

// The routing domain "~." (on the bus: the root domain, routing only) makes the link win every
// lookup that no other link's own domain matches better; as default route it also gets those
// that match no domain at all.
std::array<Call, 3> giveCalls(int ifindex, const netlink::Address& server) {
    return {SetLinkDns{ifindex, server}, SetLinkDomains{ifindex, ".", true},
            SetLinkDefaultRoute{ifindex, true}};
}

std::string linkName(int ifindex) {
    std::array<char, IF_NAMESIZE> name{};
    if (::if_indextoname(static_cast<unsigned>(ifindex), name.data()) == nullptr) return "?";
    return name.data();
}

// Takes a link back on a connection made already; false when resolved refused.
bool revert(int ifindex) {
    const std::optional<BusError> error = bus().call(RevertLink{ifindex});
    if (!error) {
        logMessage(levelInfo, "Took the DNS server back from systemd-resolved for link %d",
                   ifindex);
    } else if (error->name == "org.freedesktop.resolve1.NoSuchLink") {
        // The tunnel device went with OpenVPN, and resolved forgot the link with it.
        logMessage(levelDebug, "Link %d is gone: nothing to take back from systemd-resolved",
                   ifindex);
    } else {
        logMessage(levelError, "systemd-resolved refused RevertLink for link %d: %s (%s)", ifindex,
                   error->message.c_str(), error->name.c_str());
        return false;
    }
    return true;
}

}  // namespace

const char* methodName(const Call& call) {
    static constexpr std::array<const char*, std::variant_size_v<Call>> names{
        "SetLinkDNS", "SetLinkDomains", "SetLinkDefaultRoute", "RevertLink"};
    return names[call.index()];
}

Bus& bus() {
    static util::NoDestructor<Bus> instance(systemBus());
    return instance.get();
}

std::optional<int> Give(std::string_view text, std::optional<int> link, std::optional<int> given,
                        const LinkRecord& record) {
    if (!bus().connect()) {
        logMessage(levelDebug, "systemd-resolved is not running: the resolver file alone holds");
        return std::nullopt;
    }
    const std::optional<netlink::Address> server = netlink::Address::parseAny(text);
    const bool tunnel = link && server;
    if (given && (!tunnel || *link != *given) && revert(*given)) record(std::nullopt);
    if (!tunnel) {
        logMessage(levelInfo, "Leaving systemd-resolved alone: %s is not reached through a tunnel",
                   std::string(text).c_str());
        return std::nullopt;
    }
    record(*link);
    for (const Call& call : giveCalls(*link, *server)) {
        if (const std::optional<BusError> error = bus().call(call)) {
            logMessage(levelError, "systemd-resolved refused %s for link %d: %s (%s)",
                       methodName(call), *link, error->message.c_str(), error->name.c_str());
            // Half given is worse than not given: the link would hold the server without the
            // domain that sends names to it, or the other way round.
            if (!revert(*link)) return *link;
            record(std::nullopt);
            return std::nullopt;
        }
    }
    logMessage(levelInfo, "Gave DNS server %s to systemd-resolved for link %s (%d)",
               server->text().c_str(), linkName(*link).c_str(), *link);
    return *link;
}

bool TakeBack(int ifindex) {
    if (!bus().connect()) {
        // Without resolved nothing of what it was given is left.
        logMessage(levelDebug, "systemd-resolved is not running: nothing to take back");
        return true;
    }
    return revert(ifindex);
}

}  // namespace dns::resolved
