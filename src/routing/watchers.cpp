#include "routing/watchers.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <future>
#include <memory>
#include <utility>

#include "core/log.h"
#include "netlink/bytes.h"
#include "routing/kept_routes.h"
#include "routing/kernel.h"
#include "routing/kill_switch.h"
#include "routing/routing.h"
#include "routing/rtnetlink.h"
#include "routing/runner.h"
#include "routing/state.h"
#include "util/rate_limit.h"

namespace routing {
namespace {

using core::levelDebug;
using core::levelError;
using core::logMessage;

constexpr std::size_t receiveSize = 4096;
constexpr std::size_t attributesStart = netlink::routeAttributesStart;

// The stored tunnel gateway as an address, so that "FD42::1" and fd42::1 are the same gateway.
std::optional<netlink::Address> tunnelGateway(int family) {
    const std::optional<std::string> tunnel = tunnelAddressCopy(family);
    return tunnel ? netlink::Address::parse(*tunnel, family) : std::nullopt;
}

std::string closeRouteCommand(int family, const std::string& gateway) {
    if (family != 0) return formatCommand("ip -6 route del default via %s", gateway.c_str());
    return useIpTool() ? formatCommand("ip  route del default via %s", gateway.c_str())
                       : formatCommand("route  del default gw %s", gateway.c_str());
}

void logCloseFailure(int family, int status) {
    if (status != 0) {
        logMessage(levelError, "Error %d setting route to server address (%s).", status,
                   family != 0 ? "IPv6" : "IPv4");
    }
}

// The deletion of a default route that names no gateway: by its interface and metric.
std::optional<std::string> gatewaylessDeletion(int family, const WatchStep& step) {
    char name[IF_NAMESIZE] = {};
    const unsigned interface = step.route.outputInterface;
    const unsigned metric = step.route.priority;
    if (interface == 0 || ::if_indextoname(interface, name) == nullptr) return std::nullopt;
    if (family == AF_INET6) {
        return formatCommand("ip -6 route del default dev %s metric %u", name, metric);
    }
    return useIpTool() ? formatCommand("ip route del default dev %s metric %u", name, metric)
                       : formatCommand("route del default dev %s metric %u", name, metric);
}

// The command that carries out a decision to delete; none for the others, and for a route
// whose interface has no name any more.
std::optional<std::string> deletionFor(int family, const WatchStep& step, WatchAction action) {
    if (action == WatchAction::DeleteGateway)
        return closeRouteCommand(family == AF_INET6 ? 1 : 0, step.address->text());
    if (action == WatchAction::DeleteDevice) return gatewaylessDeletion(family, step);
    return std::nullopt;
}

bool isAddressAttribute(int type) {
    return type == RTA_DST || type == RTA_SRC || type == RTA_GATEWAY || type == RTA_PREFSRC;
}

void logStep(int family, const WatchStep& step, WatchAction action, std::optional<int> status) {
    switch (step.kind) {
        case WatchStep::Kind::Message:
            logMessage(levelDebug, "Got new netlink message of type %d, expected %d", step.type,
                       RTM_NEWROUTE);
            break;
        case WatchStep::Kind::Attribute:
            logMessage(levelDebug, "Got RTA type %d, expected %d\n", step.type, RTA_GATEWAY);
            break;
        case WatchStep::Kind::Address:
            logMessage(levelDebug,
                       family == AF_INET6 ? "Got IPv6 address %s\n" : "Got IPv4 address %s\n",
                       step.address->text().c_str());
            if (status) logMessage(levelDebug, "Closing route\n");
            break;
        case WatchStep::Kind::SizeMismatch:
            // Only an address of the wrong size is news; metrics, interfaces and the like
            // are of other sizes in every notification.
            logMessage(isAddressAttribute(step.type) ? levelError : levelDebug,
                       "Size mismatch (%s)", netlink::familyName(family));
            break;
        case WatchStep::Kind::DefaultWithoutGateway:
            if (action == WatchAction::LeaveInPlace) {
                logMessage(core::levelWarning,
                           "A new default route (%s, metric %u) leads through next hops this "
                           "watcher cannot judge; it is left in place",
                           netlink::familyName(family), step.route.priority);
            } else if (!status) {
                logMessage(levelError,
                           "A new default route (%s) names no interface to remove it by",
                           netlink::familyName(family));
            } else {
                logMessage(levelDebug, "Closing route without gateway\n");
            }
            break;
    }
    if (status) logCloseFailure(family == AF_INET6 ? 1 : 0, *status);
}

void warnRestored(int family, int added) {
    if (added > 0) {
        logMessage(core::levelWarning,
                   "The kill switch's rules or routes (%s) were removed by another program; put "
                   "back",
                   netlink::familyName(family));
    }
}

// Whether a datagram tells of an address that came or went: the LAN may have changed.
bool tellsOfAddresses(std::span<const std::byte> datagram) {
    bool addresses = false;
    netlink::forEachMessage(datagram, [&](std::uint16_t type, std::span<const std::byte>) {
        addresses = addresses || type == RTM_NEWADDR || type == RTM_DELADDR;
        return !addresses;
    });
    return addresses;
}

// Network managers delete rules and routes they did not make when they restart; ours come back.
void restoreWhatWasTaken(int family, std::span<const std::byte> datagram) {
    const KillSwitchLoss loss = killSwitchLoss(datagram, family);
    if (loss.rulesOrTable) {
        warnRestored(family, ensureKillSwitch(family));
    } else if (tellsOfAddresses(datagram)) {
        ensureTunnelRules(family);  // the LAN's rules follow the LAN
    }
    if (loss.blackhole && DisableIpv6() == 1) {
        logMessage(core::levelWarning,
                   "The IPv6 blackhole route was removed by another program; put back");
    }
}

// The default route a step told of, as the network it belongs to would be remembered.
DefaultRoute networkRoute(const WatchStep& step) {
    RouteInfo info = step.route;
    if (step.kind == WatchStep::Kind::Address) info.gateway = step.address;
    return rememberedRoute(info);
}

// Whether the table still holds the default route a step told of.
bool stillInTable(int family, const WatchStep& step) {
    const auto routes = kernel().defaultRoutes(family);
    if (!routes) return true;
    return std::any_of(routes->begin(), routes->end(), [&](const RouteInfo& route) {
        if (step.kind == WatchStep::Kind::Address) return route.gateway == step.address;
        return route.outputInterface == step.route.outputInterface &&
               route.priority == step.route.priority;
    });
}

// Carries out a decision, following the network the step tells of; the status of the
// deletion, if one ran. A deletion that failed because another program took the route first
// (a network manager that replaces its routes, or takes the network down) did what it was for.
std::optional<int> act(int family, const WatchStep& step, WatchAction action) {
    const auto deletion = deletionFor(family, step, action);
    if (!deletion) return std::nullopt;
    const int status = FollowNetwork(networkRoute(step), [&] { return runCommand(*deletion); });
    if (status == 0 || stillInTable(family, step)) return status;
    logMessage(levelDebug, "The new default route (%s) was gone before its deletion",
               netlink::familyName(family));
    return 0;
}

// Decides about every step of the datagram, deletes what it decided to delete, and only then
// logs the steps, in their order: writing the debug lines costs more than the walk, and a
// foreign default route must not live while they are written. Returns whether the kept routes
// are to be looked at.
bool handleDatagram(int family, std::span<const std::byte> datagram) {
    const std::vector<WatchStep> steps = walkRouteNotifications(datagram, family);
    const std::optional<netlink::Address> tunnel = tunnelGateway(family);
    std::vector<WatchAction> actions(steps.size());
    std::vector<std::optional<int>> statuses(steps.size());
    for (std::size_t i = 0; i < steps.size(); ++i) {
        actions[i] = decideStep(steps[i], tunnel);
        statuses[i] = act(family, steps[i], actions[i]);
    }
    restoreWhatWasTaken(family, datagram);
    for (std::size_t i = 0; i < steps.size(); ++i)
        logStep(family, steps[i], actions[i], statuses[i]);
    return keptRoutesAffected(datagram, family, tunnel);
}

// Deletes the foreign default routes the table holds now: those no notification told of.
void sweepTable(int family) {
    const auto routes = kernel().defaultRoutes(family);
    if (!routes) return;
    const std::optional<netlink::Address> tunnel = tunnelGateway(family);
    for (const RouteInfo& route : *routes) {
        if (route.type != RTN_UNICAST) continue;
        const WatchStep step = defaultRouteStep(route);
        const WatchAction action = decideStep(step, tunnel);
        if (action == WatchAction::None) continue;  // the tunnel's own
        logStep(family, step, action, act(family, step, action));
    }
}

// Notifications were lost: look at the table itself for default routes to delete.
void resynchronise(int family) {
    logMessage(core::levelWarning, "Route notifications were lost (%s), checking the routing table",
               netlink::familyName(family));
    warnRestored(family, ensureKillSwitch(family));
    sweepTable(family);
}

// When a watcher looks at the routes it keeps: once its notifications have been quiet for a
// moment, so that a burst of deletions (a network manager applying its configuration again)
// is answered once, with the burst's addresses and routes in place; and at the latest a
// second after the first notification that asked for it.
class KeptRoutesLook {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration quiet = std::chrono::milliseconds(150);
    static constexpr Clock::duration longest = std::chrono::seconds(1);

    void ask() {
        const Clock::time_point now = Clock::now();
        if (!asked_) first_ = now;
        asked_ = true;
        last_ = now;
    }
    // Whether the look is due now; it is then no longer asked for.
    bool due() {
        if (!asked_ || Clock::now() < dueAt()) return false;
        asked_ = false;
        return true;
    }
    // The poll timeout until it is due: -1 while none is asked for.
    int timeout() const {
        if (!asked_) return -1;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(dueAt() - Clock::now());
        return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
    }

  private:
    Clock::time_point dueAt() const { return std::min(last_ + quiet, first_ + longest); }
    bool asked_ = false;
    Clock::time_point first_{}, last_{};
};

// Reports of one watcher, each at most once a minute: a program that fights the daemon over
// a route must not flood the log.
struct KeptRoutesReports {
    util::RateLimit restored{std::chrono::minutes(1)}, failed{std::chrono::minutes(1)};
};

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words)
        text += (text.empty() ? "" : ", ") + word;
    return text;
}

void reportRepair(int family, const KeptRoutesRepair& repair, KeptRoutesReports& reports) {
    const char* name = netlink::familyName(family);
    unsigned held = 0;
    if (!repair.restored.empty() && reports.restored.allow(held)) {
        logMessage(core::levelWarning,
                   "Routes (%s) were removed by another program; put back: %s (%u more times "
                   "since the last report)",
                   name, joined(repair.restored).c_str(), held);
    }
    if (!repair.waiting.empty()) {
        logMessage(levelDebug,
                   "Routes (%s) cannot be put back while their gateway or device is missing: %s",
                   name, joined(repair.waiting).c_str());
    }
    for (const auto& [words, error] : repair.failed) {
        if (!reports.failed.allow(held)) continue;
        logMessage(levelError,
                   "Error %d (%s) putting back the route %s (%s) (%u more times since the last "
                   "report)",
                   error, std::strerror(error), words.c_str(), name, held);
    }
}

// Puts back what another program took of the routes the daemon keeps; the tunnel's copy in
// the kill switch's table follows the tunnel's route. The look is logged and done under the
// network lock, so whoever takes the lock after seeing its line sees what it did.
void keepRoutes(int family, KeptRoutesReports& reports) {
    NetworkGuard guard;
    logMessage(levelDebug, "Looking at the routes kept (%s)", netlink::familyName(family));
    const KeptRoutesRepair repair = restoreKeptRoutes(family);
    reportRepair(family, repair, reports);
    if (repair.tunnelRestored) warnRestored(family, ensureKillSwitch(family));
}

}  // namespace

std::vector<WatchStep> walkRouteNotifications(std::span<const std::byte> datagram, int family) {
    const std::size_t addressSize = netlink::Address::size(family);
    std::vector<WatchStep> steps;
    netlink::forEachMessage(datagram, [&](std::uint16_t type, std::span<const std::byte> message) {
        if (type == NLMSG_DONE) return false;
        steps.push_back({WatchStep::Kind::Message, type, std::nullopt, false});
        if (type != RTM_NEWROUTE || message.size() < attributesStart) return true;
        const std::size_t first = steps.size();
        bool elsewhere = false;
        netlink::forEachAttribute(message.subspan(attributesStart), [&](std::uint16_t attribute,
                                                                        auto data) {
            steps.push_back({WatchStep::Kind::Attribute, attribute, std::nullopt, false});
            if (data.size() == addressSize) {
                steps.push_back({WatchStep::Kind::Address, attribute,
                                 netlink::Address::fromBytes(family, data.data()),
                                 attribute == RTA_GATEWAY});
            } else {
                steps.push_back({WatchStep::Kind::SizeMismatch, attribute, std::nullopt, false});
            }
            if (attribute == RTA_MULTIPATH || attribute == RTA_NH_ID) elsewhere = true;
        });
        const RouteInfo route = rtnetlink::parseRoute(message).value_or(RouteInfo{});
        const bool mainDefault = route.dstLength == 0 && route.table == RT_TABLE_MAIN &&
                                 route.type == RTN_UNICAST && route.family == family;
        bool hasGateway = false;
        for (std::size_t i = first; i < steps.size(); ++i) {
            if (steps[i].kind != WatchStep::Kind::Address) continue;
            hasGateway = hasGateway || steps[i].gateway;
            steps[i].defaultRoute = mainDefault;
            steps[i].route = route;
        }
        if (mainDefault && !hasGateway) {
            steps.push_back({WatchStep::Kind::DefaultWithoutGateway, type, std::nullopt, false,
                             true, route, elsewhere});
        }
        return true;
    });
    return steps;
}

WatchAction decideStep(const WatchStep& step,
                       const std::optional<netlink::Address>& tunnelGateway) {
    if (step.kind == WatchStep::Kind::Address && step.gateway && step.defaultRoute)
        return step.address == tunnelGateway ? WatchAction::None : WatchAction::DeleteGateway;
    if (step.kind == WatchStep::Kind::DefaultWithoutGateway)
        return step.elsewhere ? WatchAction::LeaveInPlace : WatchAction::DeleteDevice;
    return WatchAction::None;
}

WatchStep defaultRouteStep(const RouteInfo& route) {
    WatchStep step{WatchStep::Kind::DefaultWithoutGateway,
                   RTM_NEWROUTE,
                   std::nullopt,
                   false,
                   true,
                   route,
                   false};
    if (route.gateway) {
        step.kind = WatchStep::Kind::Address;
        step.type = RTA_GATEWAY;
        step.address = route.gateway;
        step.gateway = true;
    }
    return step;
}

void CloseRoute(int family, std::string_view gateway) {
    if (gateway.empty()) {
        logMessage(levelError, "Asked to set route for server but received no address (%s).",
                   family != 0 ? "IPv6" : "IPv4");
        return;
    }
    logCloseFailure(family, runCommand(closeRouteCommand(family, std::string(gateway))));
}

namespace {

// Whether the thread was asked to stop through `wake`.
bool woken(int wake) {
    pollfd request{wake, POLLIN, 0};
    return ::poll(&request, 1, 0) > 0;
}

// Handles the notifications of `socket` until woken through `wake` or until the socket fails.
void watchLoop(int family, int socket, int wake) {
    const char* name = netlink::familyName(family);
    std::array<std::byte, receiveSize> buffer{};
    // The kernel reports only the first loss while the socket stays congested: notifications
    // dropped after that go unreported until the queue has been read empty. So the table is
    // read once more when the queue drains after a loss.
    bool lostSinceDrained = false;
    KeptRoutesLook look;
    KeptRoutesReports reports;
    look.ask();  // what went while no watcher listened
    for (;;) {
        if (look.due()) keepRoutes(family, reports);
        std::array<pollfd, 2> waitFor{{{socket, POLLIN, 0}, {wake, POLLIN, 0}}};
        const int ready =
            ::poll(waitFor.data(), waitFor.size(), lostSinceDrained ? 0 : look.timeout());
        if (ready < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            logMessage(levelError, "Error %d (%s) waiting for netlink socket (%s)", error,
                       std::strerror(error), name);
            return;
        }
        if (waitFor[1].revents != 0) return;  // asked to stop
        if (ready == 0) {
            if (std::exchange(lostSinceDrained, false)) resynchronise(family);
            continue;
        }
        if (waitFor[0].revents == 0) continue;
        const ssize_t count = ::recv(socket, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (count < 0) {
            const int error = errno;
            if (error == EINTR || error == EAGAIN) continue;
            if (error == ENOBUFS) {
                resynchronise(family);
                lostSinceDrained = true;
                look.ask();  // a deletion may be among what was lost
                continue;
            }
            logMessage(levelError, "Error %d (%s) receiving from netlink socket (%s)", error,
                       std::strerror(error), name);
            return;
        }
        if (count == 0) return;
        if (handleDatagram(family, std::span(buffer).first(static_cast<std::size_t>(count))))
            look.ask();
    }
}

}  // namespace

void CloseDefaultRoutesWorker(int family, int wake, const std::function<void(bool)>& listening) {
    const char* name = netlink::familyName(family);
    const WatchSocket socket = kernel().openWatchSocket(family);
    if (socket.failure == WatchSocket::Failure::Socket) {
        logMessage(levelError, "Error %d (%s) opening netlink socket (%s)", socket.error,
                   std::strerror(socket.error), name);
        listening(false);
        return;
    }
    if (socket.failure == WatchSocket::Failure::Bind) {
        logMessage(levelError, "Error %d (%s) binding netlink socket (%s)", socket.error,
                   std::strerror(socket.error), name);
        listening(false);
        return;
    }
    // What came while no watcher listened (between an old watcher's end and this bind) was
    // told to nobody: the table itself says it. The starter waits for this, so that the
    // table it looks at next holds no foreign default route.
    sweepTable(family);
    listening(true);
    watchLoop(family, socket.fd.get(), wake);
}

bool RouteWatcher::start() {
    stop();
    const char* name = netlink::familyName(family_);
    auto bound = std::make_shared<std::promise<bool>>();
    std::future<bool> listening = bound->get_future();
    int error = 0;
    ended_ = false;
    const auto failure = thread_.start(
        [family = family_, bound, ended = &ended_](int wake) {
            CloseDefaultRoutesWorker(family, wake, [&](bool ok) { bound->set_value(ok); });
            if (woken(wake)) return;
            ended->store(true);
            logMessage(levelError,
                       "The %s route watcher has stopped: default routes that appear are no "
                       "longer deleted",
                       netlink::familyName(family));
        },
        error);
    switch (failure) {
        case util::WakeableThread::Failure::None:
            break;
        case util::WakeableThread::Failure::Running:
            logMessage(levelError, "The %s watcher could not be stopped; not starting another",
                       name);
            return false;
        case util::WakeableThread::Failure::Eventfd:
            logMessage(levelError, "Could not allocate memory for %s thread information.", name);
            return false;
        default:
            logMessage(levelError, "Error %d launching %s worker thread.", error, name);
            return false;
    }
    listening_ = listening.get();
    return listening_;
}

void RouteWatcher::stop() {
    listening_ = false;
    const char* name = netlink::familyName(family_);
    int error = 0;
    switch (thread_.stop(error)) {
        case util::WakeableThread::Failure::Wake:
            logMessage(levelError, "Error %d killing %s worker thread.", error, name);
            break;
        case util::WakeableThread::Failure::Join:
            logMessage(levelError, "Error awaiting %s worker thread %d", name, error);
            break;
        default:
            break;
    }
}

void StartRouteWatchThread4() {
    state().routeWatchThread4.start();
}
void StartRouteWatchThread6() {
    state().routeWatchThread6.start();
}
void StopRouteWatchThread4() {
    state().routeWatchThread4.stop();
}
void StopRouteWatchThread6() {
    state().routeWatchThread6.stop();
}

bool RouteWatchersListening() {
    return state().routeWatchThread4.listening() && state().routeWatchThread6.listening();
}

WatchersStanding RouteWatchersStanding() {
    const State& s = state();
    if (!s.routeWatchThread4.started() && !s.routeWatchThread6.started())
        return WatchersStanding::Off;
    return RouteWatchersListening() ? WatchersStanding::Listening : WatchersStanding::Stopped;
}

void StartRouteWatchThread() {
    StartRouteWatchThread4();
    StartRouteWatchThread6();
}

void StopRouteWatchThread() {
    StopRouteWatchThread4();
    StopRouteWatchThread6();
}

}  // namespace routing
