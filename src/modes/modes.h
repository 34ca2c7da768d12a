#pragma once

// Mode flags and the handlers of connection events.
//
// Thread model
// ------------
// Threads:
//  - the command loop (main thread) accepts control connections, judges who owns each and
//    starts a thread for each it serves (at most 32 of users other than root, 4 of any user);
//  - one connection thread per served connection reads that connection's frames in their
//    order and runs the handlers below, the resolver operations, the status and the launcher
//    for it; each handler runs whole under lock 1, so that one client sees every change made
//    before its frame, whichever connection made it;
//  - the OpenVPN process watcher, one per launch, waits for its child and then runs
//    ConnectionClosed(), unless a newer launch has superseded it or the client has begun a
//    newer connection attempt (it then only reaps its child; once a newer launch runs, it
//    ends its child first, with SIGTERM and after a grace SIGKILL, without any lock);
//  - the IPv4 and the IPv6 route watcher block on their rtnetlink socket beside an eventfd,
//    delete default routes that do not lead through the tunnel gateway, follow the network
//    those routes belong to, and put back what another program took of the kill switch, of
//    the server and DNS host routes and of the tunnel's routes (what is still to be kept
//    they read under lock 2 when they act, so that the handlers' own removals stay);
//  - the resolver file watch, while a replacement is in force, blocks on inotify beside an
//    eventfd and writes the replacement again over another program's rewrite;
//  - the guard's watcher, while the egress guard holds, blocks on a netlink socket for
//    interfaces and their addresses and one for nf_tables beside an eventfd, keeps the guard's
//    table current as the uplinks' addresses and the tunnel device come and go, and puts the
//    table back when another program removed or changed it.
//
// Locks, in the order in which they may be taken:
//  0. the launcher's launch lock: one launch at a time from taking its generation to starting
//     its process watcher, the one-second probe included. Taken by a connection thread that
//     holds no lock; the launcher's file reads and its reply lie outside it.
//  1. modes::State::lock, recursive. Taken at the entry of every handler here (the resolver
//     operations among them), around every status query that the dispatch runs, and by the
//     launcher, whichever thread runs them; a handler may call another (ConnectionFailed runs
//     ConnectionClosed). It guards the four flags, the handler depth, the count of connection
//     attempts, the launcher's watch state (generation, child, private copies), the watcher
//     handles, the kill switch flag, the resolved link, the devices taken from NetworkManager
//     and the run of steps under way (modes/steps.h), which every record of the state file
//     names. ConnectionClosed's check and the clearing of its flags therefore form one
//     indivisible step. The outermost handler brings the egress guard up to date before it
//     lets go.
//  2. routing's network lock, recursive: guards the gateways, the remembered routes, the
//     server and DNS texts, the tunnel's routes and the state file with the parts the modes
//     and dns hand over, which the routing operations change under lock 1 and the route
//     watchers read and change without it. A routing operation removes a route and forgets
//     it within one hold of this lock.
//     dns's lock, beside it (routing and dns never call each other): guards the replacement
//     and the resolver file with its backup, for the resolver operations under lock 1 and the
//     resolver file watch without it.
//     guard's lock, beside them (the guard calls neither routing nor dns: the handlers hand
//     it what it needs): guards what the guard is to hold and what its table holds, for Hold,
//     Release and the status under lock 1 and for the guard's watcher without it.
//  3. routing's tunnel lock: guards the two tunnel gateway texts and the tunnel's devices,
//     written by the routing operations under locks 1 and 2 and copied by the route watchers.
//  4. the log's line lock, held while one line is written to the debug log.
//     The listener's count of open connections and the launcher's paths by user each have a
//     lock of their own beside it, held only to count or to copy a path.
// Locks 3 and 4 are held only for a copy or a write and never around a wait. No reply is sent
// and no frame read while any lock is held, so a client that stops reading or writing holds
// up only its own connection. Starting and stopping a route watcher wakes it and waits for it
// while lock 1 is held, never lock 2, which the watcher takes; stopping the resolver file
// watch joins it while lock 1 is held, never dns's lock, which its answers take; releasing the
// guard joins its watcher while lock 1 is held, never the guard's lock, which the watcher
// takes. No watcher takes lock 1, so these waits end.
// Nothing ever joins a process watcher.

#include <mutex>
#include <string_view>

namespace modes {

struct State {
    std::recursive_mutex lock;
    // Each 0 or 1.
    int lockdownEnabled = 0;
    int forcedEnabled = 0;
    int connected = 0;
    int connecting = 0;
    // How many handlers are running on the thread that holds the lock.
    int handlerDepth = 0;
    // Counts the connection attempts begun (PrepareForTunnel), so that an OpenVPN of an earlier
    // attempt that ends late closes nothing of the newer one.
    unsigned connectionAttempt = 0;
};

State& state();

// Holds the state lock for a scope.
class StateGuard {
  public:
    StateGuard() : guard_(state().lock) {}

  private:
    std::lock_guard<std::recursive_mutex> guard_;
};

enum class Mode { Lockdown, Forced, Basic };
// Lockdown wins when both mode flags are on.
Mode currentMode();

void InitRoutingVariables();
// At start, before anything else: with lockdown configured, the kill switch left by an earlier
// run is kept and completed; without, what is left of it goes.
void KillSwitchAtStart(bool lockdown);
// At start, before anything else touches a route: takes up the state an earlier run of this
// boot left (see planResume in modes/steps.h). A run of steps that a kill cut short is
// finished, or undone by the close of the connection it was bringing up; a connection that
// was up is closed, its OpenVPN having ended with the daemon; resolved's link is taken back.
// Lockdown that was on, or is configured, is on again with the kill switch kept; outside
// lockdown what the earlier run took is given back.
void ResumeAtStart(bool configuredLockdown);
void EnableLockdown();
void DisableLockdown();
void EnableForcedMode();
void DisableForcedMode();
void PrepareForTunnel();
void ConnectionSuccessful4(std::string_view address);
void ConnectionSuccessful6(std::string_view address);
void ConnectionSuccessful();
void ConnectionFailed();
void ConnectionClosed();
int SetServerAddress(std::string_view address);
int SetServerAddress6(std::string_view address);
int AddDnsAddress(std::string_view address);
int AddDnsAddress6(std::string_view address);
void RemoveDnsAddresses();
void SetAsDisconnected();
// The resolver operations, run and recorded as the handlers' steps are.
void ReplaceDns(std::string_view address);
void ResetDns();
void InitializeDnsVariables();

}  // namespace modes
