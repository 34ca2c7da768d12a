#pragma once

// The route watchers: one thread per address family listens for the kernel's route
// notifications and deletes the default route through any gateway that is not the tunnel's.

#include <atomic>
#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "netlink/address.h"
#include "routing/kernel.h"
#include "util/wakeable_thread.h"

namespace routing {

// One thing met in a watcher's datagram, in the order met.
struct WatchStep {
    enum class Kind {
        Message,       // a whole message of `type`
        Attribute,     // a route attribute of `type`
        Address,       // an attribute of the family's address size; `address` holds it
        SizeMismatch,  // an attribute of another size
        // A new unicast default route of the main table that names no gateway of the family's
        // size: one through a point-to-point link (PPP, mobile broadband), or one whose next
        // hops lie elsewhere (several next hops, a shared next hop object). Comes after the
        // message's own steps.
        DefaultWithoutGateway,
    };
    Kind kind;
    int type = 0;
    std::optional<netlink::Address> address;
    bool gateway = false;  // the address is a route's gateway (RTA_GATEWAY)
    // The message is a new unicast default route of the main table: only such a route is ever
    // deleted, never the host and network routes that name the same gateway.
    bool defaultRoute = false;
    // For DefaultWithoutGateway, and for the Address steps of a default route: the route as
    // the notification tells it (interface, metric, protocol, source address, lifetime, ...).
    RouteInfo route{};
    bool elsewhere = false;  // its next hops lie elsewhere: several, or a next hop object
};

// Walks the messages of one datagram and the attributes of its new routes. Stops at the first
// message or attribute that does not fit in what remains, and at a done message.
std::vector<WatchStep> walkRouteNotifications(std::span<const std::byte> datagram, int family);

// What a watcher does about one step: decided from the step and the family's stored tunnel
// gateway alone, before anything is run or logged.
enum class WatchAction {
    None,           // nothing to delete
    DeleteGateway,  // the default route through a gateway that is not the tunnel's
    DeleteDevice,   // a default route without a gateway, by its interface and metric
    LeaveInPlace,   // a default route whose next hops lie elsewhere: warned of, left
};
WatchAction decideStep(const WatchStep& step, const std::optional<netlink::Address>& tunnelGateway);
// The step a default route of the table stands for, as a notification of it would give.
WatchStep defaultRouteStep(const RouteInfo& route);

// Deletes the default route through `gateway`; family 0 for IPv4, anything else for IPv6.
void CloseRoute(int family, std::string_view gateway);

// The handle of one watcher thread. Started, restarted and stopped only under the state lock.
class RouteWatcher {
  public:
    explicit RouteWatcher(int family) : family_(family) {}
    ~RouteWatcher() { stop(); }
    RouteWatcher(const RouteWatcher&) = delete;
    RouteWatcher& operator=(const RouteWatcher&) = delete;

    // Starts the watcher, replacing one that runs (or reclaiming one that ended by itself), and
    // waits until it listens and has read the table once. False when it does not: its socket
    // failed, or the old thread could not be stopped.
    bool start();
    // Wakes the watcher and waits for it to end; does nothing when none was started.
    void stop();
    // Whether a thread was started and not yet stopped (it may have ended by itself).
    bool started() const { return thread_.started(); }
    // Whether the last start left a watcher listening, and it still does.
    bool listening() const { return listening_ && !ended_; }

  private:
    int family_;
    util::WakeableThread thread_;
    bool listening_ = false;
    // Set by the thread when its loop ended without being asked to: its socket failed.
    std::atomic<bool> ended_ = false;
};

// The watch loop: returns when woken through `wake` or when its socket fails. `listening` is
// called once: with false when the socket failed, with true once it is bound and the table
// has been read for what came before.
void CloseDefaultRoutesWorker(int family, int wake, const std::function<void(bool)>& listening);

}  // namespace routing
