#include "routing/state_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/log.h"
#include "core/paths.h"
#include "routing/state.h"
#include "util/io.h"
#include "util/path.h"
#include "util/private_directory.h"
#include "util/unique_fd.h"

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

// Applies one "key=value" line of the routing section; false when it is not understood.
bool routingLine(SavedState& saved, std::string_view key, std::string_view value) {
    if (key == "removed" || key == "gateway") {
        const auto route = parseRouteLine(value);
        if (!route) return false;
        if (key == "removed") {
            rememberRoute(saved.removedRoutes, *route);
            return true;
        }
        auto& gateway = route->family == AF_INET6 ? saved.ipv6Gateway : saved.ipv4Gateway;
        if (gateway) return false;
        gateway = route;
        return true;
    }
    const int family = key.ends_with('6') ? AF_INET6 : AF_INET;
    const auto address = addressValue(value, family);
    if (!address) return false;
    if (key == "server" || key == "server6") {
        auto& server = family == AF_INET6 ? saved.serverAddress6 : saved.serverAddress;
        if (server) return false;
        server = address;
        return true;
    }
    if (key == "dns" || key == "dns6") {
        auto& list = family == AF_INET6 ? saved.dnsAddresses6 : saved.dnsAddresses;
        if (std::find(list.begin(), list.end(), *address) != list.end()) return false;
        list.push_back(*address);
        return true;
    }
    return false;
}

bool modesLine(SavedState& saved, std::string_view key, std::string_view value) {
    if (value != "yes" && value != "no") return false;
    if (key == "lockdown")
        saved.lockdown = value == "yes";
    else if (key == "forced")
        saved.forced = value == "yes";
    else
        return false;
    return true;
}

// Copies routing's part between the state and a saved state, either way.
template <typename From, typename To>
void copyRoutingPart(const From& from, To& to) {
    to.removedRoutes = from.removedRoutes;
    to.serverAddress = from.serverAddress;
    to.serverAddress6 = from.serverAddress6;
    to.dnsAddresses = from.dnsAddresses;
    to.dnsAddresses6 = from.dnsAddresses6;
}

SavedState currentState() {
    const State& s = state();
    SavedState saved;
    saved.lockdown = s.lockdownSaved;
    saved.forced = s.forcedSaved;
    copyRoutingPart(s, saved);
    saved.ipv4Gateway = s.ipv4Gateway;
    saved.ipv6Gateway = s.ipv6Gateway;
    return saved;
}

}  // namespace

std::string formatState(const SavedState& saved) {
    std::string text = std::string(firstLine) + "\n[modes]\n";
    text += std::string("lockdown=") + (saved.lockdown ? "yes" : "no") + "\n";
    text += std::string("forced=") + (saved.forced ? "yes" : "no") + "\n[routing]\n";
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
        if (line == "[modes]" || line == "[routing]") {
            section = line;
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) return std::nullopt;
        const std::string_view key = line.substr(0, equals), value = line.substr(equals + 1);
        const bool understood = section == "[modes]"     ? modesLine(saved, key, value)
                                : section == "[routing]" ? routingLine(saved, key, value)
                                                         : false;
        if (!understood) return std::nullopt;
    }
    if (first) return std::nullopt;
    return saved;
}

SavedState CurrentState() {
    NetworkGuard guard;
    return currentState();
}

void saveState() {
    NetworkGuard guard;
    const std::string& path = core::paths().stateFile;
    if (path.empty()) return;
    const SavedState saved = currentState();
    if (saved == SavedState{}) {
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            const int error = errno;
            logMessage(levelError, "unlink() failed, error is %d:%s", error, std::strerror(error));
        }
        return;
    }
    const std::string directory = util::parentDirectory(path);
    // The directory is root's alone: what lies in it is trusted at the next start.
    if (util::makePrivateDirectory(directory) != util::DirectoryState::Private ||
        !util::replaceFile(path, formatState(saved), 0600)) {
        const int error = errno;
        logMessage(levelError, "Could not save the state to %s, error is %d:%s", path.c_str(),
                   error, std::strerror(error));
    }
}

void SaveModes(bool lockdown, bool forced) {
    NetworkGuard guard;
    state().lockdownSaved = lockdown;
    state().forcedSaved = forced;
    saveState();
}

std::optional<SavedState> LoadState() {
    const std::string& path = core::paths().stateFile;
    util::unique_fd file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!file) return std::nullopt;
    std::string text;
    const bool whole = util::readAll(file.get(), text);
    if (auto saved = parseState(text); saved && whole) return saved;
    const std::string aside = path + ".unreadable";
    logMessage(levelError, "The state file %s cannot be read; set aside as %s, not trusted",
               path.c_str(), aside.c_str());
    ::rename(path.c_str(), aside.c_str());
    return std::nullopt;
}

void ResumeState(const SavedState& saved) {
    NetworkGuard guard;
    State& s = state();
    copyRoutingPart(saved, s);
    // Outside lockdown the earlier run's routes are only given back: its gateways, which
    // would be put back when nothing was removed, are not taken up.
    if (saved.lockdown) {
        s.ipv4Gateway = saved.ipv4Gateway;
        s.ipv6Gateway = saved.ipv6Gateway;
    }
    s.lockdownSaved = saved.lockdown;
    s.forcedSaved = saved.forced;
}

}  // namespace routing
