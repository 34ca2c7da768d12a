#pragma once

// Mode flags and the handlers of connection events.
//
// Thread model
// ------------
// Threads:
//  - the command loop (main thread) accepts one client at a time, reads its frames and runs the
//    handlers below, the resolver operations and the launcher;
//  - the OpenVPN process watcher, one per launch, waits for its child and then runs
//    ConnectionClosed(), unless a newer launch has superseded it (it then only reaps its child);
//  - the IPv4 and the IPv6 route watcher block on their rtnetlink socket beside an eventfd and
//    delete default routes that do not lead through the tunnel gateway.
//
// Locks, in the order in which they may be taken:
//  1. modes::State::lock, recursive. Taken at the entry of every handler here and around every
//     resolver operation that the dispatch runs, whichever thread runs them; a handler may call
//     another (ConnectionFailed runs ConnectionClosed). It guards the four flags and, because
//     only handlers reach them, the routing state (gateways, addresses, DNS lists, watcher
//     handles) and the resolver file with its backup. ConnectionClosed's guard and the clearing
//     of its flags therefore form one indivisible step.
//  2. routing's tunnel lock: guards the two tunnel gateway texts, written by the routing
//     operations under lock 1 and copied by the route watchers, which never take lock 1.
//  3. the log's line lock, held while one line is written to the debug log.
// Locks 2 and 3 are held only for a copy or a write and never around a wait. Starting and
// stopping a route watcher wakes it and joins it while lock 1 is held; that join always ends
// because the watcher never takes lock 1. Nothing ever joins a process watcher.

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
// boot left. Lockdown that was on, or is configured, is on again with the kill switch kept;
// outside lockdown what the earlier run took is given back and its state cleared.
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

}  // namespace modes
