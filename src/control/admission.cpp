#include "control/admission.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <functional>
#include <memory>
#include <unordered_map>

#include "control/caller_files.h"
#include "core/log.h"
#include "core/paths.h"
#include "util/io.h"
#include "util/unique_fd.h"

namespace control {
namespace {

using core::logMessage;
using Clock = std::chrono::steady_clock;

struct CloseDirectory {
    void operator()(DIR* directory) const { ::closedir(directory); }
};
using Directory = std::unique_ptr<DIR, CloseDirectory>;

template <typename T>
std::optional<T> number(std::string_view text) {
    T value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// The value of the field `key` ("PPid:") of a /proc/PID/status text, blanks trimmed.
std::string_view statusField(std::string_view status, std::string_view key) {
    for (std::size_t at = 0; at < status.size();) {
        const std::size_t end = std::min(status.find('\n', at), status.size());
        const std::string_view line = status.substr(at, end - at);
        if (line.starts_with(key)) {
            std::string_view value = line.substr(key.size());
            while (!value.empty() && (value.front() == '\t' || value.front() == ' '))
                value.remove_prefix(1);
            return value;
        }
        at = end + 1;
    }
    return {};
}

// A process's parent and uids, from /proc/PID/status, whose Name field comes first and is
// escaped by the kernel, so that no field can be forged by a process name.
bool readStatus(int proc, const std::string& pid, ProcessEntry& entry) {
    util::unique_fd file(::openat(proc, (pid + "/status").c_str(), O_RDONLY | O_CLOEXEC));
    if (!file) return false;
    std::array<char, 4096> text{};
    const ssize_t count = ::read(file.get(), text.data(), text.size() - 1);
    if (count <= 0) return false;
    const std::string_view status(text.data(), static_cast<std::size_t>(count));
    const std::optional<pid_t> parent = number<pid_t>(statusField(status, "PPid:"));
    if (!parent) return false;
    entry.parent = *parent;
    std::string_view uids = statusField(status, "Uid:");
    for (uid_t& uid : entry.uids) {
        const std::size_t end = std::min(uids.find('\t'), uids.size());
        const std::optional<uid_t> value = number<uid_t>(uids.substr(0, end));
        if (!value) return false;
        uid = *value;
        uids.remove_prefix(std::min(end + 1, uids.size()));
    }
    return true;
}

bool past(Clock::time_point deadline) {
    return Clock::now() >= deadline;
}

// Whether one of the process's descriptors is `target` ("socket:[INODE]"); none when they
// cannot be read, or the deadline passed meanwhile (errno ETIMEDOUT).
std::optional<bool> holds(int proc, const std::string& pid, const std::string& target,
                          Clock::time_point deadline) {
    util::unique_fd fds(::openat(proc, (pid + "/fd").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fds) return std::nullopt;
    Directory listing(::fdopendir(fds.get()));
    if (!listing) return std::nullopt;
    const int fdsFd = fds.release();  // the listing owns it now
    std::array<char, 64> link{};
    for (unsigned read = 0; const dirent* entry = ::readdir(listing.get()); ++read) {
        if (read % 256 == 255 && past(deadline)) {
            errno = ETIMEDOUT;
            return std::nullopt;
        }
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

std::unordered_map<pid_t, pid_t> parentsOf(std::span<const ProcessEntry> processes) {
    std::unordered_map<pid_t, pid_t> parents;
    for (const ProcessEntry& process : processes)
        parents[process.pid] = process.parent;
    return parents;
}

bool runsAs(const ProcessEntry& process, uid_t uid) {
    return std::find(process.uids.begin(), process.uids.end(), uid) != process.uids.end();
}

Admission refuse(std::string why) {
    return Admission{false, std::move(why)};
}

bool shortage(int error) {
    return resourceShortage(error);
}

// Looks at the descriptors of each process of `table` that `wanted` picks; false when that
// cannot be done (errno tells why).
template <typename Wanted>
bool examine(int proc, std::vector<ProcessEntry>& table, const HolderSearch& search,
             const Wanted& wanted) {
    const std::string target = "socket:[" + std::to_string(search.inode) + "]";
    for (ProcessEntry& process : table) {
        if (process.examined || !wanted(process)) continue;
        if (past(search.deadline)) {
            errno = ETIMEDOUT;
            return false;
        }
        const std::optional<bool> holding =
            holds(proc, std::to_string(process.pid), target, search.deadline);
        if (!holding && (shortage(errno) || errno == ETIMEDOUT)) return false;
        // A process that ended meanwhile (a route command of the daemon's) holds nothing.
        const bool gone = !holding && (errno == ENOENT || errno == ESRCH);
        process.examined = holding.has_value() || gone;
        process.holdsSocket = holding.value_or(false);
    }
    return true;
}

}  // namespace

bool resourceShortage(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

Admission judgeHolders(std::span<const ProcessEntry> processes, pid_t daemon) {
    const std::unordered_map<pid_t, pid_t> parents = parentsOf(processes);
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

std::optional<std::vector<ProcessEntry>> readProcessTable(const HolderSearch& search) {
    Directory listing(::opendir("/proc"));
    if (!listing) return std::nullopt;
    const int proc = ::dirfd(listing.get());
    std::vector<ProcessEntry> table;
    for (;;) {
        if (past(search.deadline)) {
            errno = ETIMEDOUT;
            return std::nullopt;
        }
        errno = 0;
        const dirent* entry = ::readdir(listing.get());
        if (entry == nullptr) break;
        const std::string name = entry->d_name;
        const std::optional<pid_t> pid = number<pid_t>(name);
        if (!pid || *pid <= 0) continue;
        // A process that ended meanwhile holds nothing; a shortage leaves the table unknown.
        ProcessEntry process;
        process.pid = *pid;
        if (!readStatus(proc, name, process)) {
            if (shortage(errno)) return std::nullopt;
            continue;
        }
        table.push_back(process);
    }
    if (errno != 0) return std::nullopt;

    const std::unordered_map<pid_t, pid_t> parents = parentsOf(table);
    const auto held = [&] {
        return std::any_of(table.begin(), table.end(),
                           [](const ProcessEntry& process) { return process.holdsSocket; });
    };
    // Each pass only while the passes before found no holder; the daemon's descendants always.
    const std::function<bool(const ProcessEntry&)> passes[] = {
        [&](const ProcessEntry& process) {
            return descendantOf(process.pid, search.daemon, parents);
        },
        [&](const ProcessEntry& process) { return runsAs(process, search.socketUid); },
        [&](const ProcessEntry& process) { return runsAs(process, 0); },
        [](const ProcessEntry&) { return true; },
    };
    for (std::size_t pass = 0; pass < std::size(passes); ++pass) {
        if (pass > 0 && held()) break;
        if (!examine(proc, table, search, passes[pass])) return std::nullopt;
    }
    return table;
}

std::vector<SubordinateRange> parseSubordinateRanges(std::string_view text) {
    std::vector<SubordinateRange> ranges;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        const std::size_t first = line.find(':'), second = line.find(':', first + 1);
        if (first == 0 || first == std::string_view::npos || second == std::string_view::npos)
            continue;
        const std::optional<uid_t> start =
            number<uid_t>(line.substr(first + 1, second - first - 1));
        const std::optional<uid_t> count = number<uid_t>(line.substr(second + 1));
        if (!start || !count || *count == 0) continue;
        ranges.push_back({std::string(line.substr(0, first)), *start, *count});
    }
    return ranges;
}

Ownership ownerOf(uid_t uid, std::span<const SubordinateRange> ranges,
                  const std::function<std::optional<uid_t>(const std::string&)>& userId,
                  const std::function<bool(uid_t)>& isAccount) {
    const auto refuse = [&](const std::string& why) {
        return Ownership{std::nullopt, "uid " + std::to_string(uid) + " " + why};
    };
    if (uid == 0) return Ownership{0, {}};
    std::vector<uid_t> owners;
    for (const SubordinateRange& range : ranges) {
        if (uid < range.start || uid - range.start >= range.count) continue;
        const std::optional<uid_t> owner =
            number<uid_t>(range.owner) ? number<uid_t>(range.owner) : userId(range.owner);
        if (!owner)
            return refuse("lies in the subordinate range of " + range.owner +
                          ", who is no known user");
        if (std::find(owners.begin(), owners.end(), *owner) == owners.end())
            owners.push_back(*owner);
    }
    if (owners.empty() || owners == std::vector<uid_t>{0}) {
        if (!owners.empty() && isAccount(uid))
            return refuse(
                "is an account and lies in a subordinate range of root's: which of them made the "
                "socket cannot be told");
        return Ownership{uid, {}};
    }
    if (owners.size() > 1) return refuse("lies in the subordinate ranges of several users");
    if (owners[0] != uid && isAccount(uid)) {
        return refuse("is an account and lies in the subordinate range of uid " +
                      std::to_string(owners[0]) + ": which of them made the socket cannot be told");
    }
    return Ownership{owners[0], {}};
}

namespace {

// As whom the connection counts, by the subordinate ranges the host hands out.
Ownership connectionOwner(uid_t uid) {
    std::string text;
    util::unique_fd file(::open(core::paths().subordinateUids.c_str(), O_RDONLY | O_CLOEXEC));
    if (file && !util::readAll(file.get(), text, 1 << 20)) text.clear();
    const std::vector<SubordinateRange> ranges = parseSubordinateRanges(text);
    return ownerOf(
        uid, ranges,
        [](const std::string& name) -> std::optional<uid_t> {
            const std::optional<Account> account = accountNamed(name);
            if (!account) return std::nullopt;
            return account->uid;
        },
        accountExists);
}

// The processes' verdict on a connection whose socket the daemon's descendants may have made.
Admission judgeByProcesses(const SocketEntry& end, int& shortageError) {
    const HolderSearch search{end.inode, end.uid, ::getpid(), Clock::now() + admissionDeadline};
    const auto table = readProcessTable(search);
    const int error = errno;
    if (!table && shortage(error)) {
        shortageError = error;
        return {};
    }
    if (table) return judgeHolders(*table, search.daemon);
    return refuse(error == ETIMEDOUT
                      ? std::string("its processes could not be examined in time")
                      : std::string("the processes cannot be listed: ") + std::strerror(error));
}

}  // namespace

ClientAdmission admitClient(int connection, const SocketEntry& end) {
    const std::optional<SocketEntry> daemon = connectionEnd(connection, End::Daemon);
    const bool madeElsewhere =
        end.cgroup && daemon && daemon->cgroup && *end.cgroup != *daemon->cgroup;
    Admission admission{true, {}};
    if (!madeElsewhere) {
        int shortageError = 0;
        admission = judgeByProcesses(end, shortageError);
        if (shortageError != 0) return ClientAdmission{std::nullopt, shortageError, {}};
    }
    const Ownership ownership = admission.admitted ? connectionOwner(end.uid) : Ownership{};
    const std::string refusal = admission.admitted ? ownership.refusal : admission.refusal;
    if (!ownership.owner) {
        logMessage(core::levelError, "Refusing the client connection of uid %u: %s",
                   static_cast<unsigned>(end.uid), refusal.c_str());
        return ClientAdmission{std::nullopt, 0, refusal};
    }
    if (*ownership.owner != end.uid) {
        logMessage(core::levelInfo,
                   "Client connection is owned by uid %u (its socket was made as uid %u, of "
                   "that user's subordinate range)",
                   static_cast<unsigned>(*ownership.owner), static_cast<unsigned>(end.uid));
    } else {
        logMessage(core::levelInfo, "Client connection is owned by uid %u",
                   static_cast<unsigned>(end.uid));
    }
    return ClientAdmission{Client{connection, *ownership.owner}, 0, {}};
}

}  // namespace control
