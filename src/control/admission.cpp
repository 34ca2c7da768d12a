#include "control/admission.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <unordered_map>

#include "control/audit.h"
#include "core/log.h"
#include "util/unique_fd.h"

namespace control {
namespace {

using core::logMessage;

struct CloseDirectory {
    void operator()(DIR* directory) const { ::closedir(directory); }
};
using Directory = std::unique_ptr<DIR, CloseDirectory>;

std::optional<pid_t> number(std::string_view text) {
    pid_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || value <= 0) return std::nullopt;
    return value;
}

// The parent named by /proc/PID/stat, whose second field, the command name in parentheses, may
// hold anything; the fields after its last ')' are the state and the parent.
std::optional<pid_t> parentOf(int proc, const std::string& pid) {
    util::unique_fd file(::openat(proc, (pid + "/stat").c_str(), O_RDONLY | O_CLOEXEC));
    if (!file) return std::nullopt;
    std::array<char, 1024> text{};
    const ssize_t count = ::read(file.get(), text.data(), text.size() - 1);
    if (count <= 0) return std::nullopt;
    const std::string_view stat(text.data(), static_cast<std::size_t>(count));
    const std::size_t close = stat.rfind(')');
    if (close == std::string_view::npos || close + 4 >= stat.size()) return std::nullopt;
    std::string_view parent = stat.substr(close + 4);  // past ") S "
    parent = parent.substr(0, parent.find(' '));
    if (parent == "0") return 0;
    return number(parent);
}

// Whether one of the process's descriptors is `target` ("socket:[INODE]"); none when they
// cannot be read.
std::optional<bool> holds(int proc, const std::string& pid, const std::string& target) {
    util::unique_fd fds(::openat(proc, (pid + "/fd").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fds) return std::nullopt;
    Directory listing(::fdopendir(fds.get()));
    if (!listing) return std::nullopt;
    const int fdsFd = fds.release();  // the listing owns it now
    std::array<char, 64> link{};
    while (const dirent* entry = ::readdir(listing.get())) {
        const ssize_t length = ::readlinkat(fdsFd, entry->d_name, link.data(), link.size());
        if (length > 0 && std::string_view(link.data(), static_cast<std::size_t>(length)) == target)
            return true;
    }
    return false;
}

// Whether `pid` is `daemon` or one of its descendants, by the parents of `table`.
bool descendantOf(pid_t pid, pid_t daemon, const std::unordered_map<pid_t, pid_t>& parents) {
    // A parent chain is never longer than the table; the bound guards against a loop in a
    // table read while processes came and went.
    for (std::size_t step = 0; step <= parents.size(); ++step) {
        if (pid == daemon) return true;
        const auto parent = parents.find(pid);
        if (parent == parents.end()) return false;
        pid = parent->second;
    }
    return false;
}

Admission refuse(std::string why) {
    return Admission{false, std::move(why)};
}

// Errors that say nothing about the client but that the daemon or the host ran short of
// descriptors or memory, which any local user can cause.
bool shortage(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

}  // namespace

Admission judgeHolders(std::span<const ProcessEntry> processes, pid_t daemon) {
    std::unordered_map<pid_t, pid_t> parents;
    for (const ProcessEntry& process : processes)
        parents[process.pid] = process.parent;
    bool held = false;
    for (const ProcessEntry& process : processes) {
        const bool ours = descendantOf(process.pid, daemon, parents);
        if (process.holdsSocket && ours) {
            return refuse(process.pid == daemon
                              ? "the daemon itself holds its socket"
                              : "its socket is held by PID " + std::to_string(process.pid) +
                                    ", which the daemon started");
        }
        if (!process.examined && ours) {
            return refuse("PID " + std::to_string(process.pid) +
                          ", which the daemon started, cannot be examined");
        }
        held = held || process.holdsSocket;
    }
    if (!held) return refuse("no process can be found that holds its socket");
    return Admission{true, {}};
}

std::optional<std::vector<ProcessEntry>> readProcessTable(ino_t inode) {
    Directory listing(::opendir("/proc"));
    if (!listing) return std::nullopt;
    const int proc = ::dirfd(listing.get());
    const std::string target = "socket:[" + std::to_string(inode) + "]";
    std::vector<ProcessEntry> table;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(listing.get());
        if (entry == nullptr) break;
        const std::string name = entry->d_name;
        const std::optional<pid_t> pid = number(name);
        if (!pid) continue;
        // A process that ended meanwhile holds nothing; a shortage leaves the table unknown.
        const std::optional<pid_t> parent = parentOf(proc, name);
        if (!parent && shortage(errno)) return std::nullopt;
        if (!parent) continue;
        const std::optional<bool> holding = holds(proc, name, target);
        if (!holding && shortage(errno)) return std::nullopt;
        if (!holding && (errno == ENOENT || errno == ESRCH)) continue;
        table.push_back(ProcessEntry{*pid, *parent, holding.has_value(), holding.value_or(false)});
    }
    if (errno != 0) return std::nullopt;
    return table;
}

ClientAdmission admitClient(int connection) {
    const std::optional<SocketEntry> client = connectionEnd(connection, End::Client);
    if (!client) {
        const int error = errno;
        if (shortage(error)) return ClientAdmission{std::nullopt, error};
        logMessage(core::levelError,
                   "Refusing the client connection: its socket cannot be found: %s",
                   std::strerror(error));
        return {};
    }
    const std::optional<SocketEntry> daemon = connectionEnd(connection, End::Daemon);
    const bool madeElsewhere =
        client->cgroup && daemon && daemon->cgroup && *client->cgroup != *daemon->cgroup;
    if (!madeElsewhere) {
        const auto table = readProcessTable(client->inode);
        const int error = errno;
        if (!table && shortage(error)) return ClientAdmission{std::nullopt, error};
        const Admission admission =
            table ? judgeHolders(*table, ::getpid())
                  : refuse(std::string("the processes cannot be listed: ") + std::strerror(error));
        if (!admission.admitted) {
            logMessage(core::levelError, "Refusing the client connection of uid %u: %s",
                       static_cast<unsigned>(client->uid), admission.refusal.c_str());
            return {};
        }
    }
    logMessage(core::levelInfo, "Client connection is owned by uid %u",
               static_cast<unsigned>(client->uid));
    return ClientAdmission{Client{connection, client->uid}, 0};
}

}  // namespace control
