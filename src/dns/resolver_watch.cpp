#include "dns/resolver_watch.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>

#include "core/log.h"

namespace dns {
namespace {

using core::levelError;
using core::logMessage;

// A replacement by rename shows as a move into the directory, a write in place as a close after
// writing, a new link as a creation; deletions alone change nothing to answer.
constexpr std::uint32_t watchedEvents = IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE;
// Programs write a file in several steps; the watch answers once the burst is over, or while it
// lasts, after a longest wait.
constexpr std::chrono::milliseconds quiet{50}, longestWait{250};

struct Target {
    std::string directory, name;
};

Target split(const std::string& path) {
    const std::filesystem::path p(path);
    return {p.parent_path().empty() ? "." : p.parent_path().string(), p.filename().string()};
}

// The file itself and, when it is a link, the file that the link leads to: resolvers such as
// systemd-resolved replace their own file by rename, in their own directory.
std::set<std::pair<std::string, std::string>> targetsOf(const std::string& path) {
    std::set<std::pair<std::string, std::string>> targets;
    const Target own = split(path);
    targets.insert({own.directory, own.name});
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    if (real) {
        const Target linked = split(real.get());
        targets.insert({linked.directory, linked.name});
    }
    return targets;
}

class Watcher {
  public:
    // Watches from the moment it is made: a rewrite right after a replacement is not missed.
    explicit Watcher(std::string path)
        : path_(std::move(path)), inotify_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
        if (!inotify_) {
            const int error = errno;
            logMessage(levelError, "inotify_init1() failed, error is %d:%s", error,
                       std::strerror(error));
            return;
        }
        watchTargets();
    }

    // Until woken through `wake`.
    void run(int wake, const std::function<void()>& changed) {
        if (!inotify_) return;
        while (waitForChange(wake)) {
            changed();
            watchTargets();  // a link may now lead elsewhere
        }
    }

  private:
    void watchTargets() {
        watches_.clear();
        for (const auto& [directory, name] : targetsOf(path_)) {
            const int wd = ::inotify_add_watch(inotify_.get(), directory.c_str(), watchedEvents);
            if (wd < 0) {
                const int error = errno;
                logMessage(levelError, "inotify_add_watch() failed for %s, error is %d:%s",
                           directory.c_str(), error, std::strerror(error));
                continue;
            }
            watches_.insert({wd, name});
        }
    }

    // Reads the pending events; whether one of them concerns a watched file.
    bool drainEvents() {
        alignas(inotify_event) std::array<char, 4096> buffer{};
        bool relevant = false;
        for (;;) {
            const ssize_t count = ::read(inotify_.get(), buffer.data(), buffer.size());
            if (count <= 0) return relevant;
            for (std::size_t at = 0; at + sizeof(inotify_event) <= std::size_t(count);) {
                inotify_event event{};
                std::memcpy(&event, buffer.data() + at, sizeof event);
                const char* name = buffer.data() + at + sizeof event;
                if (event.len > 0 && watches_.count({event.wd, std::string(name)}) != 0)
                    relevant = true;
                at += sizeof event + event.len;
            }
        }
    }

    // Waits until a watched file changed and the burst of events is over; false when woken to
    // stop or when waiting failed.
    bool waitForChange(int wake) {
        using Clock = std::chrono::steady_clock;
        std::optional<Clock::time_point> deadline;  // set by the first change
        for (;;) {
            int timeout = -1;
            if (deadline && Clock::now() >= *deadline) return true;
            if (deadline) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now());
                timeout =
                    static_cast<int>(std::clamp(left, std::chrono::milliseconds{0}, quiet).count());
            }
            std::array<pollfd, 2> fds{{{inotify_.get(), POLLIN, 0}, {wake, POLLIN, 0}}};
            const int ready = ::poll(fds.data(), fds.size(), timeout);
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0 || fds[1].revents != 0) return false;
            if (ready == 0) return true;  // quiet after a change, or waited long enough
            if (fds[0].revents != 0 && drainEvents() && !deadline)
                deadline = Clock::now() + longestWait;
        }
    }

    std::string path_;
    util::unique_fd inotify_;
    std::set<std::pair<int, std::string>> watches_;
};

}  // namespace

void ResolverWatch::start(const std::string& path, std::function<void()> changed) {
    // The new watch is in place before the old one goes: no change falls between the two.
    Watcher watcher(path);
    stop();
    int error = 0;
    const auto failure = thread_.start([watcher = std::move(watcher), changed = std::move(changed)](
                                           int wake) mutable { watcher.run(wake, changed); },
                                       error);
    switch (failure) {
        case util::WakeableThread::Failure::None:
            break;
        case util::WakeableThread::Failure::Running:
            logMessage(levelError,
                       "The resolver file watch could not be stopped; not starting "
                       "another");
            break;
        case util::WakeableThread::Failure::Eventfd:
            logMessage(levelError, "eventfd() failed, error is %d:%s", error, std::strerror(error));
            break;
        default:
            logMessage(levelError, "Error %d launching the resolver file watch.", error);
            break;
    }
}

void ResolverWatch::stop() {
    int error = 0;
    switch (thread_.stop(error)) {
        case util::WakeableThread::Failure::Wake:
            logMessage(levelError, "Error %d stopping the resolver file watch.", error);
            break;
        case util::WakeableThread::Failure::Join:
            logMessage(levelError, "Error %d awaiting the resolver file watch.", error);
            break;
        default:
            break;
    }
}

}  // namespace dns
