#pragma once

// A thread that polls an eventfd beside its own descriptors and ends once it is woken through
// it: it is stopped cooperatively and then joined, never cancelled inside a library call, so
// that no lock stays held and no descriptor open. The route watchers and the resolver file
// watch run on one each.

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>
#include <thread>
#include <utility>

#include "util/unique_fd.h"

namespace util {

class WakeableThread {
  public:
    enum class Failure {
        None,
        Running,  // start: a thread that could not be stopped still runs
        Eventfd,  // start: no eventfd; `error` is its errno
        Thread,   // start: no thread; `error` is the system's code
        Wake,     // stop: the eventfd could not be written; `error` is its errno
        Join,     // stop: the join failed; `error` is the system's code, the thread is detached
    };

    WakeableThread() = default;
    ~WakeableThread() {
        int ignored = 0;
        stop(ignored);
    }
    WakeableThread(const WakeableThread&) = delete;
    WakeableThread& operator=(const WakeableThread&) = delete;

    // Runs `body(wake)` on a new thread; `body` returns once `wake` is readable. The caller
    // stops an earlier thread first.
    template <typename Body>
    Failure start(Body body, int& error) {
        if (thread_.joinable()) return Failure::Running;
        wake_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!wake_) {
            error = errno;
            return Failure::Eventfd;
        }
        try {
            thread_ =
                std::thread([body = std::move(body), wake = wake_.get()]() mutable { body(wake); });
        } catch (const std::system_error& failure) {
            error = failure.code().value();
            wake_.reset();
            return Failure::Thread;
        }
        return Failure::None;
    }

    // Wakes the thread and waits for it to end; does nothing when none was started.
    Failure stop(int& error) {
        if (!thread_.joinable()) return Failure::None;
        const std::uint64_t one = 1;
        if (::write(wake_.get(), &one, sizeof one) != sizeof one) {
            error = errno;
            return Failure::Wake;
        }
        Failure result = Failure::None;
        try {
            thread_.join();
        } catch (const std::system_error& failure) {
            error = failure.code().value();
            thread_.detach();
            result = Failure::Join;
        }
        wake_.reset();
        return result;
    }

    // Whether a thread was started and not yet stopped (it may have ended by itself).
    bool started() const { return thread_.joinable(); }

  private:
    std::thread thread_;
    unique_fd wake_;
};

}  // namespace util
