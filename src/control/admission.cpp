#include "control/admission.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/nsfs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <unordered_map>

#include "core/log.h"
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

// The inode of the user namespace that the link "ns/user" of `pid` (or "self") names.
std::optional<ino_t> userNamespace(int proc, const std::string& pid) {
    struct stat st {};
    if (::fstatat(proc, (pid + "/ns/user").c_str(), &st, 0) != 0) return std::nullopt;
    return st.st_ino;
}

// The user who owns the outermost namespace above `pid`'s, below the initial one `initial`.
std::optional<uid_t> outermostOwner(int proc, const std::string& pid, ino_t initial) {
    util::unique_fd space(::openat(proc, (pid + "/ns/user").c_str(), O_RDONLY | O_CLOEXEC));
    // A chain of nested namespaces is at most 32 deep.
    for (int depth = 0; space && depth < 33; ++depth) {
        util::unique_fd parent(::ioctl(space.get(), NS_GET_PARENT));
        struct stat st {};
        if (!parent || ::fstat(parent.get(), &st) != 0) return std::nullopt;
        if (st.st_ino == initial) {
            uid_t owner = 0;
            if (::ioctl(space.get(), NS_GET_OWNER_UID, &owner) != 0) return std::nullopt;
            return owner;
        }
        space = std::move(parent);
    }
    return std::nullopt;
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
    return Admission{false, std::move(why), 0};
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
        process.examined = holding.has_value();
        process.holdsSocket = holding.value_or(false);
    }
    return true;
}

}  // namespace

bool resourceShortage(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

Admission judgeHolders(std::span<const ProcessEntry> processes, pid_t daemon, uid_t socketUid,
                       bool descendants) {
    const std::unordered_map<pid_t, pid_t> parents = parentsOf(processes);
    bool madeByItsUser = false, heldElsewhere = false;
    std::optional<uid_t> owner;
    for (const ProcessEntry& process : processes) {
        if (descendants && descendantOf(process.pid, daemon, parents)) {
            if (process.holdsSocket) {
                return refuse(process.pid == daemon
                                  ? "the daemon itself holds its socket"
                                  : "its socket is held by PID " + std::to_string(process.pid) +
                                        ", which the daemon started");
            }
            if (!process.examined) {
                return refuse("PID " + std::to_string(process.pid) +
                              ", which the daemon started, cannot be examined");
            }
        }
        if (!process.holdsSocket) continue;
        if (!process.foreignNamespace) {
            // Root may make a socket as any user, and a user of the initial namespace none
            // but as itself.
            const bool itsUser = runsAs(process, socketUid) || runsAs(process, 0);
            madeByItsUser = madeByItsUser || itsUser;
            heldElsewhere = heldElsewhere || !itsUser;
            continue;
        }
        if (!process.namespaceOwner) {
            return refuse("PID " + std::to_string(process.pid) +
                          " holds its socket in a user namespace whose owner cannot be told");
        }
        if (owner && *owner != *process.namespaceOwner)
            return refuse("its socket is held in user namespaces of different users");
        owner = process.namespaceOwner;
    }
    if (madeByItsUser) return Admission{true, {}, socketUid};
    if (owner) return Admission{true, {}, *owner};
    if (heldElsewhere) {
        return refuse("its socket, made as uid " + std::to_string(socketUid) +
                      ", is held by no process of that user");
    }
    return refuse("no process can be found that holds its socket");
}

std::optional<std::vector<ProcessEntry>> readProcessTable(const HolderSearch& search) {
    Directory listing(::opendir("/proc"));
    if (!listing) return std::nullopt;
    const int proc = ::dirfd(listing.get());
    const std::optional<ino_t> initial = userNamespace(proc, "self");
    if (!initial) return std::nullopt;
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
        const std::optional<ino_t> space =
            readStatus(proc, name, process) ? userNamespace(proc, name) : std::nullopt;
        if (!space && shortage(errno)) return std::nullopt;
        if (!space) continue;
        process.foreignNamespace = *space != *initial;
        table.push_back(process);
    }
    if (errno != 0) return std::nullopt;

    const std::unordered_map<pid_t, pid_t> parents = parentsOf(table);
    if (!examine(proc, table, search, [&](const ProcessEntry& process) {
            return (search.descendants && descendantOf(process.pid, search.daemon, parents)) ||
                   (!process.foreignNamespace && runsAs(process, search.socketUid));
        })) {
        return std::nullopt;
    }
    // Then root's processes, which may make a socket as anyone, and those of other user
    // namespaces, each only while nothing before has been found to hold it.
    const auto heldInitially = [&] {
        return std::any_of(table.begin(), table.end(), [](const ProcessEntry& process) {
            return process.holdsSocket && !process.foreignNamespace;
        });
    };
    if (heldInitially()) return table;
    if (!examine(proc, table, search, [](const ProcessEntry& process) {
            return !process.foreignNamespace && runsAs(process, 0);
        })) {
        return std::nullopt;
    }
    if (heldInitially()) return table;
    if (!examine(proc, table, search,
                 [](const ProcessEntry& process) { return process.foreignNamespace; })) {
        return std::nullopt;
    }
    for (ProcessEntry& process : table) {
        if (process.holdsSocket && process.foreignNamespace)
            process.namespaceOwner = outermostOwner(proc, std::to_string(process.pid), *initial);
    }
    return table;
}

ClientAdmission admitClient(int connection, const SocketEntry& end) {
    const std::optional<SocketEntry> daemon = connectionEnd(connection, End::Daemon);
    const bool madeElsewhere =
        end.cgroup && daemon && daemon->cgroup && *end.cgroup != *daemon->cgroup;
    const HolderSearch search{end.inode, end.uid, ::getpid(), !madeElsewhere,
                              Clock::now() + admissionDeadline};
    const auto table = readProcessTable(search);
    const int error = errno;
    if (!table && shortage(error)) return ClientAdmission{std::nullopt, error, {}};
    const Admission admission =
        table ? judgeHolders(*table, search.daemon, end.uid, search.descendants)
        : error == ETIMEDOUT
            ? refuse("its processes could not be examined in time")
            : refuse(std::string("the processes cannot be listed: ") + std::strerror(error));
    if (!admission.admitted) {
        logMessage(core::levelError, "Refusing the client connection of uid %u: %s",
                   static_cast<unsigned>(end.uid), admission.refusal.c_str());
        return ClientAdmission{std::nullopt, 0, admission.refusal};
    }
    if (admission.owner != end.uid) {
        logMessage(core::levelInfo,
                   "Client connection is owned by uid %u (its socket was made as uid %u in a "
                   "user namespace of that user)",
                   static_cast<unsigned>(admission.owner), static_cast<unsigned>(end.uid));
    } else {
        logMessage(core::levelInfo, "Client connection is owned by uid %u",
                   static_cast<unsigned>(end.uid));
    }
    return ClientAdmission{Client{connection, admission.owner}, 0, {}};
}

}  // namespace control
