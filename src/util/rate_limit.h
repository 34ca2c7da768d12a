#pragma once

#include <chrono>
#include <utility>

namespace util {

// Lets a report through at most once per interval and counts the ones held back meanwhile, so
// that another program fighting the daemon cannot flood the log.
class RateLimit {
  public:
    using Clock = std::chrono::steady_clock;
    explicit RateLimit(Clock::duration interval) : interval_(interval) {}

    // Whether to report now; if so, `held` is how many reports were held back since the last.
    bool allow(unsigned& held) {
        const Clock::time_point now = Clock::now();
        if (reported_ && now - last_ < interval_) {
            ++held_;
            return false;
        }
        reported_ = true;
        last_ = now;
        held = std::exchange(held_, 0u);
        return true;
    }

  private:
    Clock::duration interval_;
    // Not an optional: GCC 12 takes one of a time point on a thread's stack for uninitialised.
    bool reported_ = false;
    Clock::time_point last_{};
    unsigned held_ = 0;
};

}  // namespace util
