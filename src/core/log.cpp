#include "core/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "util/io.h"
#include "util/no_destructor.h"
#include "util/unique_fd.h"

namespace core {
namespace {

struct LogState {
    std::mutex lock;  // guards debugLog and keeps file lines whole
    util::unique_fd debugLog;
};

LogState& logState() {
    static util::NoDestructor<LogState> instance;
    return instance.get();
}

}  // namespace

void syslogInit() {
    openlog(sysLogId, 0, LOG_USER);
    syslog(levelInfo, "%s", "TELVOR Client daemon starting");
}

void syslogMessage(int level, const char* text) {
    syslog(level, "%s", text);
}

void syslogClose() {
    closelog();
}

int logOpen(const std::string& path) {
    util::unique_fd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640));
    if (!fd) return -1;
    LogState& state = logState();
    std::lock_guard guard(state.lock);
    state.debugLog = std::move(fd);
    return 0;
}

void logClose() {
    LogState& state = logState();
    std::lock_guard guard(state.lock);
    state.debugLog.reset();
}

void logMessage(int level, const char* format, ...) {
    std::array<char, maxMessageLength + 1> text{};
    va_list args;
    va_start(args, format);
    std::vsnprintf(text.data(), text.size(), format, args);
    va_end(args);
    syslogMessage(level, text.data());
    logMessageToFile(text.data());
}

std::string logLinePrefix() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    std::array<char, 20> stamp{};
    if (localtime_r(&now, &local) == nullptr ||
        std::strftime(stamp.data(), stamp.size(), "%F %X", &local) == 0) {
        return "??????????????: ";
    }
    return std::string(stamp.data()) + ": ";
}

void logMessageToFile(std::string_view text) {
    LogState& state = logState();
    std::lock_guard guard(state.lock);
    if (!state.debugLog) return;
    std::string line = logLinePrefix();
    line.append(text);
    line.push_back('\n');
    // One write per line, so that lines of concurrent threads never interleave. A log that
    // cannot be written must not stop the daemon.
    util::writeAll(state.debugLog.get(), line);
}

}  // namespace core
