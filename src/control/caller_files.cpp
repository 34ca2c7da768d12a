
#include "control/caller_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>

#include "core/log.h"
#include "core/paths.h"
#include "util/io.h"
#include "util/private_directory.h"
#include "util/process.h"
#include "util/unique_fd.h"

namespace control {
namespace {

constexpr std::string_view copyPrefix = "openvpn-";
// Exit statuses of the reading child beside the error numbers of its failed calls.
constexpr int notRegular = 250;
constexpr int tooLarge = 251;
constexpr std::chrono::seconds readDeadline{5};

// What the copies of every launch hold together.
std::atomic<std::size_t>& heldCopyBytes() {
    static std::atomic<std::size_t> bytes = 0;
    return bytes;
}

// In the child: opens the file and sends its bytes. Async-signal-safe calls only.
int sendFile(const char* path, int out, std::size_t limit) {
    const int file = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (file < 0) return errno;
    struct stat st {};
    if (::fstat(file, &st) != 0) return errno;
    if (!S_ISREG(st.st_mode)) return notRegular;
    char chunk[4096];
    std::size_t total = 0;
    for (;;) {
        const ssize_t count = ::read(file, chunk, sizeof chunk);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return errno;
        if (count == 0) return 0;
        total += static_cast<std::size_t>(count);
        if (total > limit) return tooLarge;
        for (ssize_t sent = 0; sent < count;) {
            const ssize_t written =
                ::write(out, chunk + sent, static_cast<std::size_t>(count - sent));
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) return errno;
            sent += written;
        }
    }
}

std::string describe(int status) {
    if (status == notRegular) return "it is not a regular file";
    if (status == tooLarge) return "it is too large";
    return std::strerror(status);
}

// Reads the child's pipe to its end. A file on a mount its user controls could stall the
// child for ever, and the control loop with it, so the child gets a deadline.
bool readPipe(int fd, std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + readDeadline;
    std::array<char, 4096> chunk{};
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd ready{fd, POLLIN, 0};
        const int polled = ::poll(&ready, 1, static_cast<int>(left.count()));
        if (polled < 0 && errno == EINTR) continue;
        if (polled <= 0) return false;
        const ssize_t count = ::read(fd, chunk.data(), chunk.size());
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return count == 0;
        text.append(chunk.data(), static_cast<std::size_t>(count));
    }
}

// The runtime directory, made if need be; none unless only root can enter it.
std::optional<std::string> privateDirectory() {
    const std::string& directory = core::paths().runtimeDirectory;
    switch (util::makePrivateDirectory(directory)) {
        case util::DirectoryState::Private:
            return directory;
        case util::DirectoryState::Unmade: {
            const int error = errno;
            core::logMessage(core::levelError, "mkdir() failed, error is %d:%s", error,
                             std::strerror(error));
            return std::nullopt;
        }
        case util::DirectoryState::Shared:
            break;
    }
    core::logMessage(core::levelError, "Refusing to keep OpenVpn files in %s: it is not private",
                     directory.c_str());
    return std::nullopt;
}

}  // namespace

std::optional<Caller> callerOf(uid_t uid) {
    std::array<char, 16384> buffer{};
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
        return std::nullopt;
    }
    Caller caller{uid, entry.pw_gid, std::vector<gid_t>(64)};
    for (;;) {
        int count = static_cast<int>(caller.groups.size());
        if (::getgrouplist(entry.pw_name, entry.pw_gid, caller.groups.data(), &count) >= 0) {
            caller.groups.resize(static_cast<std::size_t>(count));
            return caller;
        }
        if (static_cast<std::size_t>(count) <= caller.groups.size()) return std::nullopt;
        caller.groups.resize(static_cast<std::size_t>(count));
    }
}

namespace {

// In the child: writes the path with every link resolved, as the child may resolve it.
int sendResolved(const char* path, int out) {
    char resolved[PATH_MAX];
    if (::realpath(path, resolved) == nullptr) return errno;
    const std::size_t length = std::strlen(resolved);
    for (std::size_t sent = 0; sent < length;) {
        const ssize_t written = ::write(out, resolved + sent, length - sent);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return errno;
        sent += static_cast<std::size_t>(written);
    }
    return 0;
}

// Runs `body` with its standard output on a pipe, in a child that has taken `caller`'s uid,
// gid and groups; what it wrote, or why there is nothing: its exit status, a number that
// describe() tells.
FileRead runAs(const Caller& caller, int (*body)(const char*, int, std::size_t),
               const std::string& path, std::size_t limit) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return {std::nullopt, std::strerror(errno)};
    util::unique_fd in(fds[0]), out(fds[1]);
    const pid_t child = ::fork();
    if (child < 0) return {std::nullopt, std::strerror(errno)};
    if (child == 0) {
        // Nothing of the daemon's stays open in a process its user could look into.
        if (::dup2(out.get(), STDOUT_FILENO) < 0) ::_exit(errno);
        ::close_range(STDERR_FILENO + 1, ~0u, 0);
        if (::setgroups(caller.groups.size(), caller.groups.data()) != 0 ||
            ::setgid(caller.gid) != 0 || ::setuid(caller.uid) != 0) {
            ::_exit(EPERM);
        }
        ::_exit(body(path.c_str(), STDOUT_FILENO, limit));
    }
    out.reset();
    std::string text;
    const bool complete = readPipe(in.get(), text);
    if (!complete) ::kill(child, SIGKILL);
    const int status = util::reap(child);
    if (!complete) return {std::nullopt, "reading it took too long"};
    if (!WIFEXITED(status)) return {std::nullopt, "the reading process failed"};
    if (WEXITSTATUS(status) != 0) return {std::nullopt, describe(WEXITSTATUS(status))};
    return {std::move(text), {}};
}

}  // namespace

std::optional<Account> accountNamed(const std::string& name) {
    std::array<char, 16384> buffer{};
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr)
        return std::nullopt;
    return Account{entry.pw_uid, entry.pw_gid};
}

bool accountExists(uid_t uid) {
    std::array<char, 16384> buffer{};
    passwd entry{};
    passwd* found = nullptr;
    return ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr;
}

FileRead readFileAs(const std::string& path, const Caller& caller, std::size_t limit) {
    return runAs(caller, sendFile, path, limit);
}

FileRead resolveAs(const std::string& path, const Caller& caller) {
    return runAs(
        caller, [](const char* name, int out, std::size_t) { return sendResolved(name, out); },
        path, 0);
}

PrivateCopies& PrivateCopies::operator=(PrivateCopies&& other) noexcept {
    if (this != &other) {
        removeAll();
        launch_ = other.launch_;
        paths_ = std::move(other.paths_);
        other.paths_.clear();
        bytes_ = std::exchange(other.bytes_, 0);
    }
    return *this;
}

KeptCopy PrivateCopies::keep(std::string_view text) {
    if (paths_.size() >= maxCopiesPerLaunch) {
        return {std::nullopt,
                "a launch holds at most " + std::to_string(maxCopiesPerLaunch) + " files"};
    }
    if (bytes_ + text.size() > maxCopyBytesPerLaunch) {
        return {std::nullopt, "a launch holds at most " +
                                  std::to_string(maxCopyBytesPerLaunch >> 20) + " MiB of files"};
    }
    // Counted before the file is written, so that launches at once never pass the bound.
    if (heldCopyBytes().fetch_add(text.size()) + text.size() > maxCopyBytesHeld) {
        heldCopyBytes() -= text.size();
        return {std::nullopt, "the launches under way hold as many files as they may"};
    }
    bytes_ += text.size();
    const std::optional<std::string> directory = privateDirectory();
    if (!directory) return {std::nullopt, "the runtime directory is not private"};
    const std::string path = *directory + "/" + std::string(copyPrefix) + std::to_string(launch_) +
                             "-" + std::to_string(paths_.size());
    ::unlink(path.c_str());
    util::unique_fd file(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file) return {std::nullopt, std::strerror(errno)};
    paths_.push_back(path);
    if (!util::writeAll(file.get(), text)) return {std::nullopt, std::strerror(errno)};
    return {path, {}};
}

void PrivateCopies::removeAll() {
    for (const std::string& path : paths_)
        ::unlink(path.c_str());
    paths_.clear();
    heldCopyBytes() -= std::exchange(bytes_, 0);
}

void removeLeftoverCopies() {
    const std::string& directory = core::paths().runtimeDirectory;
    struct Close {
        void operator()(DIR* listing) const { ::closedir(listing); }
    };
    std::unique_ptr<DIR, Close> listing(::opendir(directory.c_str()));
    if (!listing) return;
    while (const dirent* entry = ::readdir(listing.get())) {
        if (std::string_view(entry->d_name).starts_with(copyPrefix)) {
            ::unlinkat(::dirfd(listing.get()), entry->d_name, 0);
        }
    }
}

}  // namespace control
