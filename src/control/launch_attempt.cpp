#include "control/launch_attempt.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>
#include <utility>

#include "core/log.h"
#include "modes/modes.h"
#include "util/no_destructor.h"
#include "util/process.h"

namespace control {
namespace {

using core::levelError;
using core::levelInfo;
using core::logMessage;
using Clock = std::chrono::steady_clock;

// An OpenVPN that ends sooner than this after its start is reported with why it ended.
constexpr std::chrono::seconds shortRun{5};
// How long a superseded OpenVPN has after SIGTERM to close its tunnel before SIGKILL.
constexpr std::chrono::seconds supersededGrace{5};

// The launches' shared state. Guarded by the state lock.
struct WatchState {
    unsigned generation = 0;  // the latest launch's, once it has begun
    std::shared_ptr<LaunchAttempt> current;
    // A launch's OpenVPN that ended while a newer launch was under way, for that launch to
    // judge again should it give the generation back.
    struct Ended {
        pid_t child = 0;
        LaunchMark mark;
    };
    std::optional<Ended> endedSuperseded;
};

WatchState& watchState() {
    static util::NoDestructor<WatchState> instance;
    return instance.get();
}

// Acts on the end of a launch's OpenVPN that was not superseded: it is no longer the current
// one, and its connection closes unless the client has begun another attempt since.
void closeWatched(pid_t child, EndOfLaunch end) {
    watchState().current.reset();
    if (end == EndOfLaunch::LeaveNewerAttempt) {
        logMessage(levelInfo,
                   "OpenVpn (PID %d) of an earlier connection attempt ended; the newer attempt "
                   "is left as it is",
                   child);
        return;
    }
    modes::ConnectionClosed();
}

void logShortRun(pid_t child, int status, Clock::duration ran) {
    if (ran >= shortRun) return;
    const double seconds = std::chrono::duration<double>(ran).count();
    if (WIFEXITED(status)) {
        logMessage(levelError, "OpenVpn (PID %d) ended after %.1f seconds with exit status %d",
                   child, seconds, WEXITSTATUS(status));
    } else if (WIFSIGNALED(status)) {
        logMessage(levelError, "OpenVpn (PID %d) ended after %.1f seconds, killed by signal %d",
                   child, seconds, WTERMSIG(status));
    }
}

int pidfdSignal(int pidfd, int signal) {
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

// Whether `fd` becomes readable within `timeout` (for ever when negative).
bool readable(int fd, int timeoutMs) {
    pollfd ready{fd, POLLIN, 0};
    for (;;) {
        const int polled = ::poll(&ready, 1, timeoutMs);
        if (polled < 0 && errno == EINTR) continue;
        return polled > 0;
    }
}

}  // namespace

EndOfLaunch endOf(LaunchMark launch, unsigned latestGeneration, unsigned latestAttempt) {
    if (launch.generation != latestGeneration) return EndOfLaunch::NoteSuperseded;
    if (launch.connectionAttempt != latestAttempt) return EndOfLaunch::LeaveNewerAttempt;
    return EndOfLaunch::CloseConnection;
}

LaunchAttempt::LaunchAttempt(Key, LaunchMark mark, unsigned previousGeneration,
                             PrivateCopies copies)
    : mark_(mark),
      previousGeneration_(previousGeneration),
      started_(Clock::now()),
      copies_(std::move(copies)) {}

std::shared_ptr<LaunchAttempt> LaunchAttempt::begin(PrivateCopies copies) {
    modes::StateGuard guard;
    WatchState& watch = watchState();
    const unsigned previous = watch.generation;
    const LaunchMark mark{++watch.generation, modes::state().connectionAttempt};
    return std::make_shared<LaunchAttempt>(Key{}, mark, previous, std::move(copies));
}

void LaunchAttempt::abandon() {
    modes::StateGuard guard;
    WatchState& watch = watchState();
    if (watch.generation != mark_.generation) return;
    watch.generation = previousGeneration_;
    const std::optional<WatchState::Ended> ended = std::exchange(watch.endedSuperseded, {});
    if (!ended) return;
    // One that a launch still running superseded is that launch's business: it is forgotten.
    const EndOfLaunch end = endOf(ended->mark, watch.generation, modes::state().connectionAttempt);
    if (end != EndOfLaunch::NoteSuperseded) closeWatched(ended->child, end);
}

void LaunchAttempt::watch(pid_t child) {
    child_ = child;
    openHandles();
    std::shared_ptr<LaunchAttempt> previous;
    {
        modes::StateGuard guard;
        previous = std::exchange(watchState().current, shared_from_this());
    }
    // At most one OpenVPN of the daemon's outlives a launch.
    if (previous && previous->stop_) ::eventfd_write(previous->stop_.get(), 1);
    try {
        std::thread(&LaunchAttempt::watcher, shared_from_this()).detach();
    } catch (const std::system_error& error) {
        logMessage(levelError, "Error %d launching OpenVPN worker thread.", error.code().value());
    }
}

// What the watcher needs to end the child when a newer launch supersedes it.
void LaunchAttempt::openHandles() {
    // The child is not reaped before its watcher reaps it, so its PID is still its own here.
    pidfd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, child_, 0)));
    stop_.reset(::eventfd(0, EFD_CLOEXEC));
    if (!pidfd_ || !stop_) {
        const int error = errno;
        pidfd_.reset();
        logMessage(core::levelWarning,
                   "pidfd_open() failed, error is %d:%s; OpenVpn (PID %d) is not ended when a "
                   "newer launch supersedes it",
                   error, std::strerror(error), child_);
    }
}

// Waits until the child ends, or until a newer launch supersedes it; that one is given
// SIGTERM and the grace to close its tunnel, then SIGKILL. Whether it was superseded.
bool LaunchAttempt::awaitEnd() const {
    if (!pidfd_) return false;  // the wait for the child is all there is
    pollfd ready[2] = {{pidfd_.get(), POLLIN, 0}, {stop_.get(), POLLIN, 0}};
    for (;;) {
        const int polled = ::poll(ready, 2, -1);
        if (polled < 0 && errno == EINTR) continue;
        if (polled < 0 || (ready[0].revents & POLLIN) != 0) return false;
        if (ready[1].revents != 0) break;
    }
    logMessage(levelInfo, "Ending OpenVpn (PID %d): a newer launch has superseded it", child_);
    pidfdSignal(pidfd_.get(), SIGTERM);
    const int grace = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(supersededGrace).count());
    if (!readable(pidfd_.get(), grace)) {
        logMessage(core::levelWarning, "OpenVpn (PID %d) did not end within %d seconds; killing it",
                   child_, static_cast<int>(supersededGrace.count()));
        pidfdSignal(pidfd_.get(), SIGKILL);
    }
    return true;
}

// The watcher thread holds the attempt to its end, without any lock until the child has been
// reaped: the copies go when the thread does.
void LaunchAttempt::watcher() {
    const bool superseded = awaitEnd();
    const int status = util::reap(child_);
    if (!superseded) logShortRun(child_, status, Clock::now() - started_);
    ended();
}

void LaunchAttempt::ended() {
    modes::StateGuard guard;
    WatchState& watch = watchState();
    const EndOfLaunch end = endOf(mark_, watch.generation, modes::state().connectionAttempt);
    if (end == EndOfLaunch::NoteSuperseded) {
        watch.endedSuperseded = WatchState::Ended{child_, mark_};
        return;
    }
    closeWatched(child_, end);
}

std::optional<pid_t> OpenVpnPid() {
    modes::StateGuard guard;
    const std::shared_ptr<LaunchAttempt>& current = watchState().current;
    if (!current) return std::nullopt;
    return current->child();
}

}  // namespace control
