#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>

#include "control/caller_files.h"
#include "util/unique_fd.h"

namespace control {

// Which launch an OpenVPN belongs to: the generation its launch took, and the client's
// connection attempt that was under way when it did.
struct LaunchMark {
    unsigned generation = 0;
    unsigned connectionAttempt = 0;
};

// What the end of a launch's OpenVPN means for the connection.
enum class EndOfLaunch {
    CloseConnection,    // the latest launch of the attempt under way ended: the connection closes
    LeaveNewerAttempt,  // the client has begun a newer attempt since: that one is left as it is
    NoteSuperseded,     // a newer launch has taken the generation: the end waits on that launch
};

// What the end of a launch's OpenVPN does, judged against the latest generation and the
// client's latest connection attempt. A superseded launch's end closes nothing by itself: it is
// noted, and should the launch that superseded it fail and give the generation back, that
// launch judges the noted end again in its place; one that starts leaves it forgotten.
EndOfLaunch endOf(LaunchMark launch, unsigned latestGeneration, unsigned latestAttempt);

// One launch of OpenVPN, from the generation it takes before its fork to the end of its
// child: what its process watcher holds, and the private copies the child reads, which go
// once it has ended and never before. The latest launch whose child runs is the current one,
// under the state lock. At most one launch at a time goes from begin() to abandon() or
// watch(): the launcher's launch lock sees to it.
class LaunchAttempt : public std::enable_shared_from_this<LaunchAttempt> {
    struct Key {
        explicit Key() = default;
    };

  public:
    // Takes the next generation, so that an OpenVPN this launch supersedes that ends
    // meanwhile no longer counts as the current one, and notes the connection attempt.
    static std::shared_ptr<LaunchAttempt> begin(PrivateCopies copies);
    // The launch failed: it gives its generation back, and judges again the end of an OpenVPN
    // it would have superseded that ended meanwhile, closing the connection in its place where
    // endOf() says so.
    void abandon();
    // The launch's child runs: this attempt becomes the current one, the one it replaces is
    // told to end its child, and a detached thread watches this one's child to its end.
    void watch(pid_t child);

    pid_t child() const { return child_; }

    // Made by begin() alone.
    LaunchAttempt(Key, LaunchMark mark, unsigned previousGeneration, PrivateCopies copies);

  private:
    void openHandles();
    bool awaitEnd() const;
    void watcher();
    void ended();  // the watcher's last step: endOf() under the state lock, and what it says

    const LaunchMark mark_;
    const unsigned previousGeneration_;
    const std::chrono::steady_clock::time_point started_;
    pid_t child_ = 0;
    util::unique_fd pidfd_;  // the child's, for a wait and signals that no reused PID can meet
    util::unique_fd stop_;   // an eventfd, written when a newer launch supersedes this one
    PrivateCopies copies_;
};

// The OpenVPN child of the current launch while it runs. Takes the state lock itself (it is
// recursive: a caller may already hold it).
std::optional<pid_t> OpenVpnPid();

}  // namespace control
