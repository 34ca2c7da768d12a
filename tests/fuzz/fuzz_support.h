#pragma once

// What every fuzz target shares: invariant checks that end the run with a report, and a
// logging setup that keeps millions of messages out of the host's syslog.

#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <span>
#include <string_view>

namespace fuzz {

// An invariant that failed is reported like a crash, with the input saved by libFuzzer.
[[noreturn]] inline void invariantFailed(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: invariant failed: %s\n", file, line, condition);
    std::abort();
}

// Messages below this priority are dropped by syslog() before it reaches the log socket; the
// daemon logs nothing at LOG_EMERG, so the fuzzers log nothing at all.
inline void silenceSyslog() {
    setlogmask(LOG_MASK(LOG_EMERG));
}

inline std::string_view textOf(const unsigned char* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

inline std::span<const std::byte> bytesOf(const unsigned char* data, std::size_t size) {
    return {reinterpret_cast<const std::byte*>(data), size};
}

}  // namespace fuzz

#define FUZZ_CHECK(condition) \
    ((condition) ? static_cast<void>(0) : ::fuzz::invariantFailed(#condition, __FILE__, __LINE__))
