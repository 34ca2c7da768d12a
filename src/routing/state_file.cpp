#include "routing/state_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "core/fault_point.h"
#include "core/log.h"
#include "core/paths.h"
#include "routing/state.h"
#include "util/io.h"
#include "util/path.h"
#include "util/private_directory.h"
#include "util/unique_fd.h"
#include "util/words.h"

namespace routing {
namespace {

using core::levelError;
using core::logMessage;

constexpr std::string_view firstLine = "telvord state 1";

const char* familyWord(int family) {
    return family == AF_INET6 ? "inet6" : "inet";
}

std::string routeLine(const char* key, const DefaultRoute& route) {
    return std::string(key) + "=" + familyWord(route.family) + " " + routeWords(route) + "\n";
}

std::optional<DefaultRoute> parseRouteLine(std::string_view value) {
    const std::size_t space = value.find(' ');
    if (space == std::string_view::npos) return std::nullopt;
    const std::string_view family = value.substr(0, space);
    if (family != "inet" && family != "inet6") return std::nullopt;
    return parseRouteWords(family == "inet6" ? AF_INET6 : AF_INET, value.substr(space + 1));
}

std::optional<std::string> addressValue(std::string_view value, int family) {
    if (!netlink::Address::parse(value, family)) return std::nullopt;
    return std::string(value);
}

// Sets `slot` from `value` unless it is set already: a key that may stand once stands once.
template <typename T>
bool once(std::optional<T>& slot, std::optional<T> value) {
    if (slot || !value) return false;
    slot = std::move(value);
    return true;
}

bool addOnce(std::vector<std::string>& list, const std::optional<std::string>& value) {
    if (!value || std::find(list.begin(), list.end(), *value) != list.end()) return false;
    list.push_back(*value);
    return true;
}

// A device name as a route record takes it.
std::optional<std::string> deviceValue(std::string_view value) {
    const auto route = parseRouteWords(AF_INET, "dev " + std::string(value));
    if (!route || route->gateway || route->device != value) return std::nullopt;
    return std::string(value);
}

// Applies one "key=value" line of the routing section; false when it is not understood.
bool routingLine(SavedState& saved, std::string_view key, std::string_view value) {
    if (key == "removed" || key == "gateway") {
        const auto route = parseRouteLine(value);
        if (!route) return false;
        if (key == "removed") {
            rememberRoute(saved.removedRoutes, *route);
            return true;
        }
        return once(route->family == AF_INET6 ? saved.ipv6Gateway : saved.ipv4Gateway, route);
    }
    if (key == "tunneldev") return addOnce(saved.tunnelDevices, deviceValue(value));
    const int family = key.ends_with('6') ? AF_INET6 : AF_INET;
    const auto address = addressValue(value, family);
    if (key == "server" || key == "server6")
        return once(family == AF_INET6 ? saved.serverAddress6 : saved.serverAddress, address);
    if (key == "tunnel" || key == "tunnel6")
        return once(family == AF_INET6 ? saved.tunnelAddress6 : saved.tunnelAddress, address);
    if (key == "dns" || key == "dns6")
        return addOnce(family == AF_INET6 ? saved.dnsAddresses6 : saved.dnsAddresses, address);
    return false;
}

// "NAME STEP" or "NAME STEP ADDRESS".
std::optional<InFlight> inFlightValue(std::string_view value) {
    const std::vector<std::string> words = util::spaceSeparatedWords(value);
    if (words.size() < 2 || words.size() > 3 || words[0].size() > 64) return std::nullopt;
    if (!std::all_of(words[0].begin(), words[0].end(), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) || c == '.';
        }))
        return std::nullopt;
    InFlight run;
    run.sequence = words[0];
    const auto [end, error] =
        std::from_chars(words[1].data(), words[1].data() + words[1].size(), run.step);
    if (error != std::errc() || end != words[1].data() + words[1].size() || run.step > 255)
        return std::nullopt;
    if (words.size() == 3) {
        if (!netlink::Address::parse(words[2], AF_INET) &&
            !netlink::Address::parse(words[2], AF_INET6))
            return std::nullopt;
        run.argument = words[2];
    }
    return run;
}

bool modesLine(SavedState& saved, std::string_view key, std::string_view value) {
    if (key == "inflight") return once(saved.modes.inFlight, inFlightValue(value));
    if (value != "yes" && value != "no") return false;
    bool* flag = key == "lockdown"     ? &saved.modes.lockdown
                 : key == "forced"     ? &saved.modes.forced
                 : key == "connected"  ? &saved.modes.connected
                 : key == "connecting" ? &saved.modes.connecting
                                       : nullptr;
    if (flag == nullptr) return false;
    *flag = value == "yes";
    return true;
}

bool dnsLine(SavedState& saved, std::string_view key, std::string_view value) {
    int link = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), link);
    if (key != "resolvedlink" || error != std::errc() || end != value.data() + value.size() ||
        link <= 0)
        return false;
    return once(saved.resolvedLink, std::optional(link));
}

// The devices NetworkManager gave up, within what one host has of tunnels.
constexpr std::size_t maxUnmanagedDevices = 16;

bool desktopLine(SavedState& saved, std::string_view key, std::string_view value) {
    return key == "nmdevice" && saved.unmanagedDevices.size() < maxUnmanagedDevices &&
           addOnce(saved.unmanagedDevices, deviceValue(value));
}

bool sectionLine(SavedState& saved, std::string_view section, std::string_view line) {
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) return false;
    const std::string_view key = line.substr(0, equals), value = line.substr(equals + 1);
    if (section == "[modes]") return modesLine(saved, key, value);
    if (section == "[routing]") return routingLine(saved, key, value);
    if (section == "[dns]") return dnsLine(saved, key, value);
    if (section == "[desktop]") return desktopLine(saved, key, value);
    return false;
}

// Copies routing's part between the state and a saved state, either way.
template <typename From, typename To>
void copyRoutingPart(const From& from, To& to) {
    to.removedRoutes = from.removedRoutes;
    to.ipv4Gateway = from.ipv4Gateway;
    to.ipv6Gateway = from.ipv6Gateway;
    to.serverAddress = from.serverAddress;
    to.serverAddress6 = from.serverAddress6;
    to.dnsAddresses = from.dnsAddresses;
    to.dnsAddresses6 = from.dnsAddresses6;
    to.resolvedLink = from.resolvedLink;
    to.unmanagedDevices = from.unmanagedDevices;
}

SavedState currentState() {
    const State& s = state();
    SavedState saved;
    saved.modes = s.modesRecord;
    copyRoutingPart(s, saved);
    std::lock_guard guard(s.tunnelLock);
    saved.tunnelAddress = s.tunnelAddress;
    saved.tunnelAddress6 = s.tunnelAddress6;
    saved.tunnelDevices = s.tunnelDevices;
    return saved;
}

const char* yesNo(bool value) {
    return value ? "yes" : "no";
}

// Why the state file open at `file` is not root's alone; none when it is. Someone else who
// could write it or replace it could make a restart take down a lockdown or add their routes.
const char* untrustedStateFile(int file, const std::string& path) {
    struct stat st {
    }, directory{};
    if (::fstat(file, &st) != 0 || !S_ISREG(st.st_mode)) return "it is not a regular file";
    if (st.st_uid != ::geteuid()) return "it is not owned by root";
    if ((st.st_mode & 07777) != 0600) return "its mode is not 0600";
    if (::lstat(util::parentDirectory(path).c_str(), &directory) != 0 ||
        !S_ISDIR(directory.st_mode) || directory.st_uid != ::geteuid() ||
        (directory.st_mode & 022) != 0)
        return "its directory is not one that only root may write";
    return nullptr;
}

}  // namespace

std::string formatState(const SavedState& saved) {
    const ModesRecord& m = saved.modes;
    std::string text = std::string(firstLine) + "\n[modes]\n";
    text += std::string("lockdown=") + yesNo(m.lockdown) + "\nforced=" + yesNo(m.forced) +
            "\nconnected=" + yesNo(m.connected) + "\nconnecting=" + yesNo(m.connecting) + "\n";
    if (m.inFlight) {
        text += "inflight=" + m.inFlight->sequence + " " + std::to_string(m.inFlight->step) +
                (m.inFlight->argument.empty() ? "" : " " + m.inFlight->argument) + "\n";
    }
    text += "[routing]\n";
    for (const DefaultRoute& route : saved.removedRoutes)
        text += routeLine("removed", route);
    if (saved.ipv4Gateway) text += routeLine("gateway", *saved.ipv4Gateway);
    if (saved.ipv6Gateway) text += routeLine("gateway", *saved.ipv6Gateway);
    if (saved.serverAddress) text += "server=" + *saved.serverAddress + "\n";
    if (saved.serverAddress6) text += "server6=" + *saved.serverAddress6 + "\n";
    for (const std::string& address : saved.dnsAddresses)
        text += "dns=" + address + "\n";
    for (const std::string& address : saved.dnsAddresses6)
        text += "dns6=" + address + "\n";
    if (saved.tunnelAddress) text += "tunnel=" + *saved.tunnelAddress + "\n";
    if (saved.tunnelAddress6) text += "tunnel6=" + *saved.tunnelAddress6 + "\n";
    for (const std::string& device : saved.tunnelDevices)
        text += "tunneldev=" + device + "\n";
    text += "[dns]\n";
    if (saved.resolvedLink) text += "resolvedlink=" + std::to_string(*saved.resolvedLink) + "\n";
    if (!saved.unmanagedDevices.empty()) {
        text += "[desktop]\n";
        for (const std::string& device : saved.unmanagedDevices)
            text += "nmdevice=" + device + "\n";
    }
    return text;
}

std::optional<SavedState> parseState(std::string_view text) {
    SavedState saved;
    std::string_view section;
    bool first = true;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        if (end == std::string_view::npos) return std::nullopt;  // cut short
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);
        if (std::exchange(first, false)) {
            if (line != firstLine) return std::nullopt;
            continue;
        }
        if (line == "[modes]" || line == "[routing]" || line == "[dns]" || line == "[desktop]") {
            section = line;
            continue;
        }
        if (!sectionLine(saved, section, line)) return std::nullopt;
    }
    if (first) return std::nullopt;
    return saved;
}

SavedState CurrentState() {
    NetworkGuard guard;
    return currentState();
}

bool saveState() {
    NetworkGuard guard;
    const std::string& path = core::paths().stateFile;
    if (path.empty()) return true;
    const SavedState saved = currentState();
    if (saved == SavedState{}) {
        const bool removed = ::unlink(path.c_str()) == 0 || errno == ENOENT;
        if (!removed) {
            const int error = errno;
            logMessage(levelError, "unlink() failed, error is %d:%s", error, std::strerror(error));
        }
        state().stateUnsaved = !removed;
        core::recordMade();
        return removed;
    }
    const std::string directory = util::parentDirectory(path);
    // The directory is root's alone: what lies in it is trusted at the next start.
    if (util::makePrivateDirectory(directory) != util::DirectoryState::Private ||
        !util::replaceFile(path, formatState(saved), 0600)) {
        const int error = errno;
        logMessage(levelError,
                   "Could not save the state to %s, error is %d:%s; a restart would not know "
                   "what this run holds",
                   path.c_str(), error, std::strerror(error));
        state().stateUnsaved = true;
        return false;
    }
    state().stateUnsaved = false;
    core::recordMade();
    return true;
}

bool StateUnsaved() {
    return state().stateUnsaved;
}

void SaveModes(const ModesRecord& record) {
    NetworkGuard guard;
    state().modesRecord = record;
    saveState();
}

void SaveResolvedLink(std::optional<int> link) {
    NetworkGuard guard;
    state().resolvedLink = link;
    saveState();
}

void SaveUnmanagedDevices(const std::vector<std::string>& devices) {
    NetworkGuard guard;
    state().unmanagedDevices = devices;
    saveState();
}

std::optional<SavedState> LoadState(bool* refused) {
    const std::string& path = core::paths().stateFile;
    util::unique_fd file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    const int error = errno;
    const auto refuse = [&](const char* why) -> std::optional<SavedState> {
        logMessage(levelError, "The state file %s is not trusted: %s", path.c_str(), why);
        if (refused != nullptr) *refused = true;
        return std::nullopt;
    };
    if (!file && error == ENOENT) return std::nullopt;
    if (!file) return refuse(std::strerror(error));
    if (const char* why = untrustedStateFile(file.get(), path)) return refuse(why);
    std::string text;
    const bool whole = util::readAll(file.get(), text);
    if (auto saved = parseState(text); saved && whole) return saved;
    const std::string aside = path + ".unreadable";
    logMessage(levelError, "The state file %s cannot be read; set aside as %s, not trusted",
               path.c_str(), aside.c_str());
    ::rename(path.c_str(), aside.c_str());
    if (refused != nullptr) *refused = true;
    return std::nullopt;
}

void ResumeState(const SavedState& saved) {
    NetworkGuard guard;
    State& s = state();
    copyRoutingPart(saved, s);
    s.modesRecord = saved.modes;
    std::lock_guard tunnel(s.tunnelLock);
    s.tunnelAddress = saved.tunnelAddress;
    s.tunnelAddress6 = saved.tunnelAddress6;
    s.tunnelDevices = saved.tunnelDevices;
}

}  // namespace routing
