#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace core {

inline constexpr const char* cfgItemDebugLogging = "debuglogging";
inline constexpr const char* cfgItemStartupOpenVpn = "startupOpenVpn";
inline constexpr const char* cfgItemLockdown = "lockdown";
inline constexpr const char* cfgItemOpenVpnPrograms = "openvpnprograms";
inline constexpr const char* cfgItemOpenVpnConfigDirs = "openvpnconfigdirs";
inline constexpr const char* cfgItemControlGroup = "controlgroup";
inline constexpr const char* cfgItemLan = "lan";

// What the egress guard takes as the LAN, which lockdown lets traffic reach outside the tunnel.
enum class Lan {
    Private,  // the on-link prefixes that lie in the private ranges (the default)
    OnLink,   // every on-link prefix up to a width limit: for networks numbered from public space
    None,     // nothing but what keeps the address (DHCP, neighbour discovery)
};
// The word the configuration file uses for each.
const char* lanWord(Lan lan);
inline constexpr const char* cfgItemOpenVpnUser = "openvpnuser";

// The start-up choices of the configuration file, with their defaults.
struct Configuration {
    bool debugLogging = true;
    bool startupOpenVpn = true;
    bool lockdown = false;
    // Programs besides files named "openvpn" that clients may start, as absolute paths.
    std::vector<std::string> openVpnPrograms;
    // Where the administrator keeps OpenVPN configurations for users to start.
    std::vector<std::string> openVpnConfigDirs = {"/etc/openvpn"};
    // The group whose members, besides root, may change what the daemon does; empty: every
    // local user may.
    std::string controlGroup;
    Lan lan = Lan::Private;
    // The account OpenVPN runs as once its tunnel is made.
    std::string openVpnUser = "telvord-openvpn";
};

// What one reading of the configuration text yields.
struct ConfigurationText {
    Configuration values;
    int accepted = 0;  // lines that set one of the items
    std::string summary = "Config file settings";
    // Lines with a known key and a value it does not take, in file order: keys lower-cased,
    // values too except those of the path items, the group and the account, which keep their
    // case.
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

// The lines the rewriting operations write: the three switches, and the path lists and the
// group where they differ from their defaults.
std::string formatConfiguration(const Configuration& configuration);

std::string_view trim(std::string_view text);
std::string strlwr(std::string_view text);

}  // namespace core
