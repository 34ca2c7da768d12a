#include "guard/guard.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

#include "core/log.h"
#include "guard/kernel.h"
#include "guard/ruleset.h"
#include "util/printable.h"
#include "util/rate_limit.h"
#include "util/wakeable_thread.h"

namespace guard {
namespace {

using core::levelError;
using core::levelWarning;
using core::logMessage;
using namespace std::chrono_literals;

// How long the watcher lets a burst of address notifications settle before it acts: one network
// change is a few dozen messages. A table that went is put back at once: while it is gone,
// routes the LAN pushes lead out.
constexpr int settleMilliseconds = 50;

struct State {
    // Guards everything below but the watcher's handle, which only Hold and Release touch
    // (under the modes' state lock). The watcher takes it; nothing waits for the watcher while
    // holding it.
    std::mutex lock;
    std::optional<Intent> intent;        // what to hold; none once released
    std::optional<Description> applied;  // what the table holds, when this run put it there
    std::string listing;                 // the kernel's listing of it then, counts blanked
    bool mayBeInKernel = true;           // an earlier run's table may be there
    bool unavailable = false;            // the kernel has no nf_tables (warned once)
    util::RateLimit restoreReports{60s}, failureReports{60s};
    // Last, so that it is stopped before anything it reads goes away.
    util::WakeableThread watcher;
};

State& state() {
    static State instance;
    return instance;
}

std::string tableText() {
    return std::string(tableFamily) + " " + std::string(tableName);
}

// The kernel's side of the description: interface indexes, the LAN and the tunnel's addresses
// of the moment. Those last rendered stand when the addresses cannot be read.
Description describe(const Intent& intent, const std::optional<Description>& before) {
    Description d;
    for (const std::string& name : intent.tunnels) {
        if (const unsigned index = kernel().interfaceIndex(name); index != 0)
            d.tunnels.push_back(index);
    }
    d.servers = intent.servers;
    d.dnsServers = intent.dnsServers;
    d.linkScope = intent.lan != core::Lan::None;
    d.dnsConfined = intent.dnsConfined;
    if (const auto addresses = kernel().addresses()) {
        d.lan = netlink::lanPrefixes(*addresses, d.tunnels, intent.lan);
        d.onLink = netlink::onLinkPrefixes(*addresses, d.tunnels);
        for (const netlink::InterfaceAddress& a : *addresses) {
            if (std::find(d.tunnels.begin(), d.tunnels.end(), a.interface) != d.tunnels.end())
                d.tunnelAddresses.push_back(a.own());
        }
    } else if (before) {
        d.lan = before->lan;
        d.onLink = before->onLink;
        d.tunnelAddresses = before->tunnelAddresses;
    }
    return d;
}

void reportFailure(State& s, const std::string& error) {
    if (!kernel().hasNfTables()) {
        if (!std::exchange(s.unavailable, true)) {
            logMessage(levelWarning,
                       "This kernel has no nf_tables: the packet filter guard is not in place; "
                       "the kill switch's rules and the route watchers hold alone");
        }
        return;
    }
    unsigned held = 0;
    if (s.failureReports.allow(held)) {
        logMessage(levelError,
                   "Could not put the packet filter guard (table %s) in place (%u more times "
                   "since the last report): %s",
                   tableText().c_str(), held, util::printable(error, 200).c_str());
    }
}

std::optional<std::string> listTable() {
    std::string output;
    if (kernel().nft(listCommands(), output)) return std::nullopt;
    return withoutCounts(output);
}

// Renders the intent and applies it when it differs from what the table holds (or always,
// with `force`). The caller holds the lock and has an intent.
void apply(State& s, bool force) {
    const Description wanted = describe(*s.intent, s.applied);
    if (!force && s.applied == wanted) return;
    std::string output;
    s.mayBeInKernel = true;
    if (const auto error = kernel().nft(renderRuleset(wanted), output)) {
        s.applied.reset();
        reportFailure(s, *error);
        return;
    }
    s.unavailable = false;
    s.applied = wanted;
    s.listing = listTable().value_or("");
}

// Whether the table is as this run left it.
bool intact(const State& s) {
    return s.applied && listTable() == s.listing;
}

// Reads what is waiting on `socket` without blocking; whether anything arrived (or was lost)
// that `matters`.
template <typename Matters>
bool drain(int socket, Matters matters) {
    std::array<std::byte, 8192> buffer{};
    bool any = false;
    for (;;) {
        const ssize_t count = ::recv(socket, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0 && errno == ENOBUFS) {
            any = true;  // lost: the table and the addresses are read afresh anyway
            continue;
        }
        if (count <= 0) return any;
        any = matters(std::span(buffer).first(static_cast<std::size_t>(count))) || any;
    }
}

struct Events {
    bool interfaces = false;
    bool table = false;
};

// Waits for notifications and lets their burst settle; false when woken to stop.
bool awaitEvents(int interfaces, int tables, int wake, Events& events) {
    int timeout = -1;
    for (;;) {
        std::array<pollfd, 3> fds{
            {{wake, POLLIN, 0}, {interfaces, POLLIN, 0}, {tables, POLLIN, 0}}};
        const int ready = ::poll(fds.data(), fds.size(), timeout);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) {
            const int error = errno;
            logMessage(levelError, "Error %d (%s) waiting for netlink sockets (guard)", error,
                       std::strerror(error));
            return false;
        }
        if (fds[0].revents != 0) return false;
        if (ready == 0) return true;  // settled
        if (fds[1].revents != 0)
            events.interfaces = drain(interfaces, [](auto) { return true; }) || events.interfaces;
        if (fds[2].revents != 0) events.table = drain(tables, touchesTable) || events.table;
        if (events.table) return true;
        if (events.interfaces) timeout = settleMilliseconds;
    }
}

void answer(const Events& events) {
    State& s = state();
    std::lock_guard guard(s.lock);
    if (!s.intent) return;
    if (events.table && !intact(s)) {
        apply(s, true);
        unsigned held = 0;
        if (s.applied && s.restoreReports.allow(held)) {
            logMessage(levelWarning,
                       "The packet filter guard (table %s) was removed or changed by another "
                       "program; put back (%u more times since the last report)",
                       tableText().c_str(), held);
        }
    } else if (events.interfaces) {
        apply(s, false);
    }
}

netlink::Subscription openWatch(const char* what, netlink::Subscription socket) {
    if (socket.failure != netlink::Subscription::Failure::None) {
        logMessage(levelError, "Error %d (%s) opening the guard's netlink socket for %s",
                   socket.error, std::strerror(socket.error), what);
    }
    return socket;
}

void watch(int wake) {
    const auto interfaces = openWatch("interfaces", kernel().watchInterfaces());
    const auto tables = openWatch("nf_tables", kernel().watchTables());
    // Whatever came between the table's making and these sockets was told to nobody.
    answer({true, true});
    for (;;) {
        Events events;
        if (!awaitEvents(interfaces.fd.get(), tables.fd.get(), wake, events)) return;
        answer(events);
    }
}

}  // namespace

void Hold(const Intent& intent) {
    State& s = state();
    {
        std::lock_guard guard(s.lock);
        const bool changed = s.intent != intent;
        s.intent = intent;
        if (changed || !s.applied) apply(s, false);
        if (s.unavailable) return;
    }
    if (s.watcher.started()) return;
    int error = 0;
    if (s.watcher.start(watch, error) != util::WakeableThread::Failure::None)
        logMessage(levelError, "Error %d launching the guard's watcher thread.", error);
}

void Release() {
    State& s = state();
    {
        std::lock_guard guard(s.lock);
        s.intent.reset();
    }
    int error = 0;
    if (s.watcher.stop(error) != util::WakeableThread::Failure::None)
        logMessage(levelError, "Error %d stopping the guard's watcher thread.", error);
    std::lock_guard guard(s.lock);
    if (!s.mayBeInKernel) return;
    std::string output;
    const auto failure = kernel().nft(removalCommands(), output);
    if (failure && kernel().hasNfTables()) {
        logMessage(levelError, "Could not remove the packet filter guard (table %s): %s",
                   tableText().c_str(), util::printable(*failure, 200).c_str());
        return;
    }
    s.mayBeInKernel = false;
    s.applied.reset();
}

bool Put(const Intent& intent) {
    State& s = state();
    std::lock_guard guard(s.lock);
    if (listTable()) return true;
    s.intent = intent;
    apply(s, true);
    s.intent.reset();
    return s.applied || s.unavailable;
}

Status CurrentStatus() {
    State& s = state();
    std::lock_guard guard(s.lock);
    Status status;
    if (s.unavailable) {
        status.standing = Standing::Unavailable;
    } else if (s.intent && intact(s)) {
        status.standing = Standing::Held;
        std::string output;
        if (!kernel().nft(counterCommands(), output)) status.refused = parseCounter(output);
    } else if (s.intent) {
        status.standing = Standing::Missing;
    }
    return status;
}

}  // namespace guard
