#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace core {

inline constexpr const char* cfgItemDebugLogging = "debuglogging";
inline constexpr const char* cfgItemStartupOpenVpn = "startupOpenVpn";
inline constexpr const char* cfgItemLockdown = "lockdown";

// The start-up choices of the configuration file, with their defaults.
struct Configuration {
    bool debugLogging = true;
    bool startupOpenVpn = true;
    bool lockdown = false;
};

// What one reading of the configuration text yields.
struct ConfigurationText {
    Configuration values;
    int accepted = 0;  // lines that set one of the three items
    std::string summary = "Config file settings";
    // Lines with a known key and a value it does not take, lower-cased, in file order.
    std::vector<std::pair<std::string, std::string>> invalid;
};

// Bounds of the summary and of each of its fragments, terminator included.
inline constexpr std::size_t summarySize = 1024;
inline constexpr std::size_t fragmentSize = 128;

// Applies the file's syntax to its text; pure, so that every rule can be tested and fuzzed.
ConfigurationText parseConfiguration(std::string_view text);

// Reads the configuration file and logs what it found. Never fails: a missing file leaves the
// defaults.
Configuration readConfiguration();

// Rewrite the file with the current debug-log and control-loop choices and lockdown on or off.
void enableLockdownConfiguration();
void disableLockdownConfiguration();

// The three lines the rewriting operations write.
std::string formatConfiguration(const Configuration& configuration);

std::string_view trim(std::string_view text);
std::string strlwr(std::string_view text);

}  // namespace core
