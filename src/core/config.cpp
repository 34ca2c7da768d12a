#include "core/config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <optional>

#include "core/log.h"
#include "core/paths.h"
#include "util/io.h"
#include "util/unique_fd.h"

namespace core {
namespace {

bool isSpace(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// Appends `text` to `target` without letting `target` grow past `size - 1` characters.
void appendBounded(std::string& target, std::string_view text, std::size_t size) {
    if (target.size() + 1 >= size) return;
    target.append(text.substr(0, size - 1 - target.size()));
}

std::string fragment(std::string_view key, const std::optional<std::string>& value) {
    std::string text = ", ";
    text.append(key);
    if (value) {
        text.push_back('=');
        text.append(*value);
    }
    if (text.size() > fragmentSize - 1) text.resize(fragmentSize - 1);
    return text;
}

// Applies one switch of the form "true"/"false"/bare key. Returns false for any other value.
bool applySwitch(const std::optional<std::string>& value, bool bareMeans, bool& target) {
    if (!value) {
        target = bareMeans;
    } else if (*value == "true") {
        target = true;
    } else if (*value == "false") {
        target = false;
    } else {
        return false;
    }
    return true;
}

// A list of absolute paths separated by ':'; none when an entry is not absolute.
std::optional<std::vector<std::string>> pathList(std::string_view text) {
    std::vector<std::string> paths;
    while (!text.empty()) {
        const std::size_t end = text.find(':');
        const std::string_view entry = trim(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (entry.empty()) continue;
        if (!entry.starts_with('/')) return std::nullopt;
        paths.emplace_back(entry);
    }
    return paths;
}

bool applyPathList(const std::optional<std::string>& value, std::vector<std::string>& target) {
    std::optional<std::vector<std::string>> paths = pathList(value.value_or(""));
    if (!paths) return false;
    target = std::move(*paths);
    return true;
}

// A group name as the group database holds it: no blank, control character or ':'. A bare key
// or an empty value leaves the daemon to every user.
bool applyGroupName(const std::optional<std::string>& value, std::string& target) {
    const std::string name = value.value_or("");
    const bool plain = std::none_of(name.begin(), name.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte <= ' ' || byte == 0x7f || c == ':';
    });
    if (plain) target = name;
    return plain;
}

bool applyLan(const std::optional<std::string>& value, Lan& target) {
    for (const Lan lan : {Lan::Private, Lan::OnLink, Lan::None}) {
        if (value && *value == lanWord(lan)) {
            target = lan;
            return true;
        }
    }
    return false;
}

// An account name: one word as the user database holds it.
bool applyAccountName(const std::optional<std::string>& value, std::string& target) {
    std::string name;
    if (!value || value->empty() || !applyGroupName(value, name)) return false;
    target = std::move(name);
    return true;
}

std::string joined(const std::vector<std::string>& paths) {
    std::string text;
    for (const std::string& path : paths)
        text += (text.empty() ? "" : ":") + path;
    return text;
}

std::optional<std::string> readWholeFile(const std::string& path) {
    util::unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    std::string text;
    if (!util::readAll(fd.get(), text)) return std::nullopt;
    return text;
}

// Writes the new file beside the old one and renames it into place, so that a crash leaves
// either the old file or the new one, never a truncated one.
// The file keeps its mode and owner.
bool replaceFileAtomically(const std::string& path, std::string_view content) {
    struct stat old {};
    if (::stat(path.c_str(), &old) != 0) return util::replaceFile(path, content, 0644);
    return util::replaceFile(path, content, old.st_mode & 07777, &old);
}

void writeLockdownConfiguration(bool lockdown) {
    Configuration current = readConfiguration();
    current.lockdown = lockdown;
    if (!replaceFileAtomically(paths().configFile, formatConfiguration(current))) {
        syslogMessage(levelInfo, "Config file not loaded.");
    }
}

}  // namespace

const char* lanWord(Lan lan) {
    switch (lan) {
        case Lan::OnLink:
            return "onlink";
        case Lan::None:
            return "none";
        case Lan::Private:
            break;
    }
    return "private";
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && isSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back()))
        text.remove_suffix(1);
    return text;
}

std::string strlwr(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

ConfigurationText parseConfiguration(std::string_view text) {
    static const std::string debugLoggingName = strlwr(cfgItemDebugLogging);
    static const std::string startupOpenVpnName = strlwr(cfgItemStartupOpenVpn);
    static const std::string lockdownName = strlwr(cfgItemLockdown);
    static const std::string programsName = strlwr(cfgItemOpenVpnPrograms);
    static const std::string configDirsName = strlwr(cfgItemOpenVpnConfigDirs);
    static const std::string groupName = strlwr(cfgItemControlGroup);
    static const std::string lanName = strlwr(cfgItemLan);
    static const std::string userName = strlwr(cfgItemOpenVpnUser);

    ConfigurationText result;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = trim(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty() || line.front() == '#') continue;

        const std::size_t equals = line.find('=');
        const std::string key = strlwr(line.substr(0, equals));
        std::optional<std::string> value, asWritten;
        if (equals != std::string_view::npos) {
            asWritten = std::string(trim(line.substr(equals + 1)));
            value = strlwr(*asWritten);
        }

        bool valid = true;
        if (key.starts_with(programsName) || key.starts_with(configDirsName)) {
            // Paths keep their case.
            value = asWritten;
            valid = applyPathList(asWritten, key.starts_with(programsName)
                                                 ? result.values.openVpnPrograms
                                                 : result.values.openVpnConfigDirs);
        } else if (key.starts_with(userName)) {
            // So do account names.
            value = asWritten;
            valid = applyAccountName(asWritten, result.values.openVpnUser);
        } else if (key.starts_with(groupName)) {
            // So do group names.
            value = asWritten;
            valid = applyGroupName(asWritten, result.values.controlGroup);
        } else if (key.starts_with(debugLoggingName)) {
            valid = applySwitch(value, true, result.values.debugLogging);
        } else if (key.starts_with(startupOpenVpnName)) {
            valid = applySwitch(value, true, result.values.startupOpenVpn);
        } else if (key.starts_with(lockdownName)) {
            // A bare lockdown key means off, unlike the other two items.
            valid = applySwitch(value, false, result.values.lockdown);
        } else if (key.starts_with(lanName)) {
            valid = applyLan(value, result.values.lan);
        } else {
            // Keys of no item are accepted silently and count as nothing.
            appendBounded(result.summary, fragment(key, value), summarySize);
            continue;
        }
        if (valid) {
            ++result.accepted;
            appendBounded(result.summary, fragment(key, value), summarySize);
        } else {
            result.invalid.emplace_back(key, value.value_or(""));
        }
    }
    return result;
}

Configuration readConfiguration() {
    const std::optional<std::string> text = readWholeFile(paths().configFile);
    if (!text) {
        syslogMessage(levelInfo, "Config file not loaded.");
        return Configuration{};
    }
    const ConfigurationText parsed = parseConfiguration(*text);
    for (const auto& [key, value] : parsed.invalid) {
        logMessage(levelError, "Invalid configuration item '%s=%s'", key.c_str(), value.c_str());
    }
    if (parsed.accepted > 0) {
        logMessage(levelInfo, "%s", parsed.summary.c_str());
    } else {
        logMessage(levelInfo, "Config file not loaded.");
    }
    return parsed.values;
}

std::string formatConfiguration(const Configuration& configuration) {
    auto word = [](bool on) { return on ? "true" : "false"; };
    std::string text;
    for (const auto& [name, on] : {std::pair{cfgItemDebugLogging, configuration.debugLogging},
                                   std::pair{cfgItemStartupOpenVpn, configuration.startupOpenVpn},
                                   std::pair{cfgItemLockdown, configuration.lockdown}}) {
        text.append(name).append("=").append(word(on)).append("\n");
    }
    if (!configuration.openVpnPrograms.empty()) {
        text.append(cfgItemOpenVpnPrograms)
            .append("=")
            .append(joined(configuration.openVpnPrograms))
            .append("\n");
    }
    if (configuration.openVpnConfigDirs != Configuration{}.openVpnConfigDirs) {
        text.append(cfgItemOpenVpnConfigDirs)
            .append("=")
            .append(joined(configuration.openVpnConfigDirs))
            .append("\n");
    }
    if (configuration.openVpnUser != Configuration{}.openVpnUser) {
        text.append(cfgItemOpenVpnUser).append("=").append(configuration.openVpnUser).append("\n");
    }
    if (!configuration.controlGroup.empty()) {
        text.append(cfgItemControlGroup)
            .append("=")
            .append(configuration.controlGroup)
            .append("\n");
    }
    if (configuration.lan != Lan::Private)
        text.append(cfgItemLan).append("=").append(lanWord(configuration.lan)).append("\n");
    return text;
}

void enableLockdownConfiguration() {
    writeLockdownConfiguration(true);
}

void disableLockdownConfiguration() {
    writeLockdownConfiguration(false);
}

}  // namespace core
