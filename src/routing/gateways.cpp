// Discovery of the physical default gateways.

#include <fcntl.h>
#include <unistd.h>

#include <linux/rtnetlink.h>

#include <cerrno>
#include <cstring>

#include "core/log.h"
#include "core/paths.h"
#include "routing/kernel.h"
#include "routing/kill_switch.h"
#include "routing/netlink.h"
#include "routing/routing.h"
#include "routing/state.h"
#include "util/unique_fd.h"

namespace routing {
namespace {

using core::levelDebug;
using core::levelError;
using core::logMessage;

std::optional<std::string> readProcNetRoute() {
    util::unique_fd fd(::open(core::paths().procNetRoute.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    std::string text;
    char chunk[4096];
    ssize_t count;
    while ((count = ::read(fd.get(), chunk, sizeof chunk)) > 0) {
        text.append(chunk, static_cast<std::size_t>(count));
    }
    return text;
}

void saveIpv4Gateway(const netlink::ProcRouteScan& scan) {
    for (const std::string& interface : scan.taken) {
        logMessage(levelDebug, "Found gateway %s\n", interface.c_str());
    }
    if (!scan.gateway) return;
    // The file holds the address word as it lies in memory: its bytes are in network order.
    state().ipv4Gateway = Address::fromBytes(AF_INET, &*scan.gateway);
    logMessage(levelDebug, "Saving gateway %s\n", scan.interface.c_str());
}

// The lowest-metric IPv6 default gateway of the main table, read from the table itself.
std::optional<Ipv6Gateway> mainTableGateway6() {
    const auto routes = kernel().defaultRoutes(AF_INET6);
    std::optional<Ipv6Gateway> best;
    for (const RouteInfo& route : routes.value_or(std::vector<RouteInfo>{})) {
        if (route.type != RTN_UNICAST || !route.gateway) continue;
        if (!best || route.priority < best->metric)
            best = Ipv6Gateway{*route.gateway, route.outputInterface, route.priority};
    }
    return best;
}

// The kill switch's rules answer the lookup with its unreachable route whatever the main
// table holds: the daemon's own rules are no error, and the gateway is read from the table.
bool hiddenByKillSwitch(const netlink::Ipv6LookupWalk& walk) {
    return walk.errorCode == -EHOSTUNREACH && killSwitchInPlace(AF_INET6).value_or(false);
}

// The IPv6 pass. Returns false when it failed.
bool retrieveIpv6Gateway() {
    using Failure = Ipv6LookupExchange::Failure;
    const Ipv6LookupExchange exchange = kernel().lookupIpv6Default();
    switch (exchange.failure) {
        case Failure::None:
            break;
        case Failure::Socket:
            logMessage(levelError, "Error opening socket");
            return false;
        case Failure::Send:
            logMessage(levelError, "Error sending data to socket");
            return false;
        case Failure::Receive:
            logMessage(levelError, "Error receiving data from socket");
            return false;
        case Failure::TooLong:
            logMessage(levelError, "Socket sent more data than expected");
            return false;
    }
    const netlink::Ipv6LookupWalk walk = netlink::walkIpv6LookupReply(exchange.reply);
    if (hiddenByKillSwitch(walk)) {
        if (const auto gateway = mainTableGateway6()) state().ipv6Gateway = gateway;
        return true;
    }
    for (const std::string& error : walk.errors)
        logMessage(levelError, "%s", error.c_str());
    if (walk.gateway) {
        state().ipv6Gateway = Ipv6Gateway{*walk.gateway, walk.outputInterface, walk.metric};
    }
    return !walk.failed;
}

}  // namespace

int RetrieveDefaultRoutes() {
    const std::optional<std::string> table = readProcNetRoute();
    if (!table) return 1;
    saveIpv4Gateway(netlink::scanProcNetRoute(*table));
    if (!retrieveIpv6Gateway()) return state().ipv4Gateway ? 0 : 1;
    return 0;
}

int CheckForIpv6Environment() {
    const State& s = state();
    if (!s.ipv4Gateway && !s.ipv6Gateway && RetrieveDefaultRoutes() != 0) {
        logMessage(core::levelWarning, "Error Retrieving Default Routes for IPv6 Check.");
        return 0;
    }
    return s.ipv6Gateway ? 1 : 0;
}

void FreeDefaultRoutes() {
    state().ipv4Gateway.reset();
    state().ipv6Gateway.reset();
}

}  // namespace routing
