#pragma once

#include <syslog.h>

#include <string>
#include <string_view>

namespace core {

// Log levels are syslog priorities and reach syslog unchanged.
inline constexpr int levelError = LOG_ERR;        // 3
inline constexpr int levelWarning = LOG_WARNING;  // 4
inline constexpr int levelInfo = LOG_INFO;        // 6
inline constexpr int levelDebug = LOG_DEBUG;      // 7

inline constexpr const char* sysLogId = "TELVOR.clientd";
// A formatted message is cut to this many characters.
inline constexpr std::size_t maxMessageLength = 4095;

void syslogInit();
void syslogMessage(int level, const char* text);
void syslogClose();

// Opens the debug log for appending. Returns 0, or -1 when it cannot be opened.
int logOpen(const std::string& path);
void logClose();

// The one logging call of the daemon: every message reaches syslog, and the debug log when
// one is open. Text that did not come from the daemon itself is never the format.
void logMessage(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void logMessageToFile(std::string_view text);

// The prefix of a debug log line: the local time as "YYYY-MM-DD HH:MM:SS: ", or sixteen
// characters of placeholder when the time cannot be had.
std::string logLinePrefix();

}  // namespace core
