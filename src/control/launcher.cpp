#include "control/launcher.h"

#include <fcntl.h>
#include <grp.h>
#include <net/if.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <thread>
#include <utility>

#include "control/caller_files.h"
#include "control/launch_attempt.h"
#include "control/policy.h"
#include "control/trust.h"
#include "core/log.h"
#include "core/marks.h"
#include "util/no_destructor.h"
#include "util/path.h"
#include "util/printable.h"
#include "util/process.h"
#include "util/unique_fd.h"
#include "util/words.h"

namespace control {
namespace {

using core::levelError;
using core::levelInfo;
using core::logMessage;

// How much of a client's text a log line shows, and how much of a name in a refusal.
constexpr std::size_t shownLine = 1024;
constexpr std::size_t shownName = 256;
// Files that OpenVPN reads are small; a larger one is no certificate, key or configuration.
constexpr std::size_t maxFileSize = 1 << 20;

std::string shown(std::string_view text, std::size_t length = shownName) {
    return util::printable(text, length);
}

void logCommandLine(std::string_view commandLine, const std::vector<std::string>& words) {
    logMessage(levelInfo, "Openvpn command line received from the client; %s",
               shown(commandLine, shownLine).c_str());
    for (std::size_t i = 0; i < words.size(); ++i) {
        logMessage(levelInfo, "param[%d] = %s", static_cast<int>(i), shown(words[i]).c_str());
    }
    logMessage(levelInfo, "Start OpenVpn");
}

// The user who owns the client's connection, whose rights files are read with.
std::optional<Caller> clientCaller(const Client& client) {
    std::optional<Caller> caller = callerOf(client.uid);
    if (!caller) {
        logMessage(levelError, "Refusing to start OpenVpn: uid %u is no known user",
                   static_cast<unsigned>(client.uid));
    }
    return caller;
}

// The program the client named, once it is known to be a trusted OpenVPN; logs why not
// otherwise. Links are resolved with the client's rights: what root alone may look into
// stays unknown to the client, whatever the reply.
std::optional<TrustVerdict> trustedOpenVpn(const std::string& path, const Caller& caller) {
    const FileRead resolved = resolveAs(path, caller);
    TrustVerdict verdict;
    if (!resolved.text) {
        verdict.reason = "cannot be resolved: " + resolved.error;
    } else {
        verdict = checkTrustedProgram(*resolved.text);
        if (verdict.trusted &&
            !isOpenVpnProgram(verdict.resolved, launchSettings().openVpnPrograms)) {
            verdict = TrustVerdict{false, verdict.resolved, "is not OpenVPN", {}};
        }
    }
    if (verdict.trusted) return verdict;
    logMessage(levelError, "Refusing to run %s as root: it %s", shown(path).c_str(),
               shown(verdict.reason, shownLine).c_str());
    return std::nullopt;
}

void logRefusal(const PolicyVerdict& verdict) {
    const std::string option = shown(verdict.option), file = shown(verdict.file);
    const std::string reason = shown(verdict.reason, shownLine);
    const std::string named = option.empty() ? "" : option + " ";
    if (verdict.file.empty()) {
        logMessage(levelError, "Refusing the OpenVpn command line: %s%s%s",
                   option.empty() ? "" : "--", named.c_str(), reason.c_str());
    } else if (verdict.line == 0) {
        logMessage(levelError, "Refusing the OpenVpn command line: configuration file %s %s",
                   file.c_str(), reason.c_str());
    } else {
        logMessage(levelError, "Refusing the OpenVpn command line: %s line %d: %s%s", file.c_str(),
                   verdict.line, named.c_str(), reason.c_str());
    }
}

// The directory OpenVPN starts in, against which relative names on its command line count.
std::string startDirectory(const std::optional<std::string>& derived) {
    if (derived && !derived->empty()) return *derived;
    std::array<char, PATH_MAX> current{};
    if (::getcwd(current.data(), current.size()) != nullptr) return current.data();
    return "/";
}

// Opens a configuration the client named. One in a directory where the administrator keeps
// configurations for users is opened as root, once, and trusted when the opened file shows that
// root put it there; its names are then read as root from where it really lies. Any other is
// read with the client's rights.
OpenedConfiguration openConfiguration(const std::string& path, const Caller& caller) {
    const std::vector<std::string>& directories = launchSettings().openVpnConfigDirs;
    if (!claimsTrustedDirectory(path, directories))
        return {readFileAs(path, caller, maxFileSize), {}};
    if (holdsParentReference(path)) {
        return {{std::nullopt, "it leads into a directory of openvpnconfigdirs through '..'"}, {}};
    }
    std::string reason;
    std::optional<ProvidedConfiguration> provided =
        openProvidedConfiguration(path, directories, maxFileSize, reason);
    if (!provided) {
        logMessage(core::levelWarning, "Reading %s with the client's rights: it %s",
                   shown(path).c_str(), shown(reason, shownLine).c_str());
        return {readFileAs(path, caller, maxFileSize), {}};
    }
    auto directory = std::make_shared<util::unique_fd>(std::move(provided->directory));
    return {{std::move(provided->text), {}}, [directory](const std::string& name) {
                return readProvidedName(directory->get(), name, maxFileSize);
            }};
}

// Applies the launch policy: the argument vector then names private copies of every file.
bool applyLaunchPolicy(std::vector<std::string>& words, const std::string& directory,
                       const Caller& caller, PrivateCopies& copies) {
    const LaunchFiles files{
        .read =
            [&caller](const std::string& path) { return readFileAs(path, caller, maxFileSize); },
        .configuration =
            [&caller](const std::string& path) { return openConfiguration(path, caller); },
        .keep = [&copies](std::string_view text) { return copies.keep(text); },
        .deviceExists = [](const std::string& name) { return ::if_nametoindex(name.c_str()) != 0; },
    };
    const PolicyVerdict verdict = checkLaunchPolicy(words, directory, files);
    if (!verdict.allowed) logRefusal(verdict);
    return verdict.allowed;
}

// The command line as OpenVPN is to get it: the client's options, a lone configuration as
// --config (OpenVPN takes a lone word for one only when nothing follows it), then the
// daemon's. False, after an error, when there is no account to run OpenVPN as.
bool addDaemonOptions(std::vector<std::string>& words) {
    const LaunchSettings& settings = launchSettings();
    const std::optional<OpenVpnAccount>& account = settings.openVpnAccount;
    if (!account) {
        logMessage(levelError,
                   "Refusing to start OpenVpn: neither the account %s nor nobody exists for it "
                   "to run as once its tunnel is made",
                   settings.openVpnUser.c_str());
        return false;
    }
    // Once, at the first launch: the start's own lines stay as they are.
    static std::atomic<bool> warned = false;
    if (account->fallback && !warned.exchange(true)) {
        logMessage(core::levelWarning,
                   "The account %s does not exist: OpenVpn runs as %s and %s once its tunnel is "
                   "made, which other programs may run as too",
                   settings.openVpnUser.c_str(), account->user.c_str(), account->group.c_str());
    }
    if (words.size() == 2 && !words[1].starts_with("--"))
        words.insert(words.begin() + 1, "--config");
    const std::vector<std::string> added = daemonOptions(*account);
    words.insert(words.end(), added.begin(), added.end());
    return true;
}

// What the child reports when it cannot become OpenVPN; nothing when exec succeeded.
struct ChildFailure {
    int call = 0;  // 0: chdir, 1: exec
    int error = 0;
};

std::optional<ChildFailure> childFailure(int reportPipe) {
    ChildFailure failure;
    for (;;) {
        const ssize_t count = ::read(reportPipe, &failure, sizeof failure);
        if (count < 0 && errno == EINTR) continue;
        if (count == static_cast<ssize_t>(sizeof failure)) return failure;
        return std::nullopt;
    }
}

// In the child: only async-signal-safe calls until exec. The working directory changes here,
// never in the daemon, so that no client can move or stop it.
[[noreturn]] void becomeOpenVpn(int program, char* const* argv, const char* directory, int report) {
    ChildFailure failure;
    if (directory == nullptr || ::chdir(directory) == 0) {
        // The file that was judged, by its descriptor: nothing can be put in its place.
        ::fexecve(program, argv, environ);
        failure.call = 1;
    }
    failure.error = errno;
    [[maybe_unused]] const ssize_t ignored = ::write(report, &failure, sizeof failure);
    ::_exit(127);
}

// Forks and executes the checked program; the child's PID, or none when it did not start.
std::optional<pid_t> spawnOpenVpn(int program, std::vector<std::string>& words,
                                  const std::optional<std::string>& directory) {
    // Everything the child needs is made before the fork.
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    int reportFds[2];
    if (::pipe2(reportFds, O_CLOEXEC) != 0) {
        const int error = errno;
        logMessage(levelError, "pipe() failed, error is %d:%s", error, std::strerror(error));
        return std::nullopt;
    }
    util::unique_fd reportRead(reportFds[0]), reportWrite(reportFds[1]);
    const pid_t child = ::fork();
    if (child < 0) {
        const int error = errno;
        logMessage(levelError, "fork() failed, error is %d:%s", error, std::strerror(error));
        return std::nullopt;
    }
    if (child == 0) {
        becomeOpenVpn(program, argv.data(), directory ? directory->c_str() : nullptr,
                      reportWrite.get());
    }
    reportWrite.reset();
    logMessage(levelInfo, "OpenVpn started with PID %d", child);
    if (const std::optional<ChildFailure> failure = childFailure(reportRead.get())) {
        logMessage(levelError, "%s() failed, error is %d:%s", failure->call == 0 ? "chdir" : "exec",
                   failure->error, std::strerror(failure->error));
        util::reap(child);
        return std::nullopt;
    }
    if (directory)
        logMessage(levelInfo, "Working directory changed to %s", shown(*directory).c_str());
    return child;
}

}  // namespace

std::vector<std::string> daemonOptions(const OpenVpnAccount& account) {
    return {"--mark",        std::to_string(core::openVpnMark),
            "--user",        account.user,
            "--group",       account.group,
            "--persist-tun", "--persist-key"};
}

std::optional<OpenVpnAccount> findOpenVpnAccount(const std::string& user) {
    const auto account = [](const std::string& name) -> std::optional<OpenVpnAccount> {
        const std::optional<Account> found = accountNamed(name);
        group primary{};
        group* known = nullptr;
        std::array<char, 16384> buffer{};
        if (!found ||
            ::getgrgid_r(found->gid, &primary, buffer.data(), buffer.size(), &known) != 0 ||
            known == nullptr)
            return std::nullopt;
        return OpenVpnAccount{name, primary.gr_name, false};
    };
    if (std::optional<OpenVpnAccount> own = account(user)) return own;
    std::optional<OpenVpnAccount> nobody = account("nobody");
    if (!nobody) return std::nullopt;
    group entry{};
    group* found = nullptr;
    std::array<char, 16384> buffer{};
    if (::getgrnam_r("nogroup", &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr)
        nobody->group = "nogroup";
    nobody->fallback = true;
    return nobody;
}

LaunchSettings& launchSettings() {
    static util::NoDestructor<LaunchSettings> instance;
    return instance.get();
}

unsigned countArgs(std::string_view commandLine) {
    return static_cast<unsigned>(std::count(commandLine.begin(), commandLine.end(), ' '));
}

std::vector<std::string> tokenizeCommandLine(std::string_view commandLine) {
    return util::spaceSeparatedWords(commandLine);
}

std::optional<std::string> workingDirectoryFor(std::string_view path) {
    constexpr std::string_view program = "openvpn";
    if (path.find(program) == std::string_view::npos) return std::nullopt;
    // The program name and the separator before it; the bare name yields no directory.
    if (path.size() < program.size() + 1) return std::nullopt;
    return std::string(path.substr(0, path.size() - program.size() - 1));
}

void sendReply(int client, std::string_view text) {
    std::array<char, frameSize> reply{};
    std::copy_n(text.begin(), std::min(text.size(), reply.size() - 1), reply.begin());
    std::size_t sent = 0;
    while (sent < reply.size()) {
        // MSG_NOSIGNAL: a client that went away must not end the daemon with SIGPIPE.
        const ssize_t count =
            ::send(client, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        sent += static_cast<std::size_t>(count);
    }
}

void Launcher::receivePath(const Frame& frame, const Client& client) {
    // A frame of fewer than six bytes yields an empty path.
    const std::size_t length = frame.received > 6 ? frame.received - 6 : 0;
    const std::string_view text = frame.text(6);
    std::string path(text.substr(0, std::min(length, text.size())));
    logMessage(levelInfo, "Openvpn path received from the client; %s", shown(path).c_str());
    const std::lock_guard<std::mutex> lock(pathsLock_);
    std::erase_if(paths_, [&](const auto& entry) { return entry.first == client.uid; });
    if (paths_.size() == maxPathOwners) paths_.erase(paths_.begin());
    paths_.emplace_back(client.uid, std::move(path));
}

std::optional<std::string> Launcher::openVpnPath(uid_t uid) const {
    const std::lock_guard<std::mutex> lock(pathsLock_);
    for (const auto& [owner, path] : paths_) {
        if (owner == uid) return path;
    }
    return std::nullopt;
}

Outcome Launcher::launch(std::string_view commandLine, const Client& client) {
    std::vector<std::string> words = tokenizeCommandLine(commandLine);
    logCommandLine(commandLine, words);
    // One user names the program and starts it: a command line starts only the path its own
    // user sent, never what another user named, with the rights of whoever sent the line.
    const std::optional<std::string> path = openVpnPath(client.uid);
    bool started = false;
    if (!path || path->empty()) {
        logMessage(levelError, "No OpenVpn path received from the client, not starting it");
    } else {
        if (words.empty()) words.push_back(*path);
        started = start(words, *path, client);
    }
    sendReply(client.socket, started ? statusMsgOpenVpnStarted : statusMsgOpenVpnFailed);
    if (started) logMessage(levelInfo, "OpenVpn started");
    return Outcome::NextFrame;
}

// A launch reads who asks and what they name, judges it, rewrites it and spawns it.
bool Launcher::start(std::vector<std::string>& words, const std::string& path,
                     const Client& client) {
    const std::optional<Caller> caller = clientCaller(client);
    if (!caller) return false;
    const std::optional<TrustVerdict> program = trustedOpenVpn(path, *caller);
    if (!program) return false;
    // Where the path names "openvpn", OpenVPN starts in the directory of the file it is, never
    // in one the client's link lies in.
    std::optional<std::string> directory;
    if (workingDirectoryFor(path)) directory = util::parentDirectory(program->resolved);
    // Judge the command line and every configuration it names, into private copies; then add
    // what the daemon decides.
    PrivateCopies copies(++launches_);
    if (!applyLaunchPolicy(words, startDirectory(directory), *caller, copies)) return false;
    if (!addDaemonOptions(words)) return false;

    // The reply is sent after this: a client that reads nothing holds up no other launch.
    const std::lock_guard<std::mutex> one(launching_);
    const std::shared_ptr<LaunchAttempt> attempt = LaunchAttempt::begin(std::move(copies));
    const std::optional<pid_t> child = spawnOpenVpn(program->program.get(), words, directory);
    if (!child) {
        attempt->abandon();
        return false;
    }
    // "true" means only that the child had not yet been collected a second later: one that
    // exited at once still answers the probe, and its watcher then closes the connection.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const int probe = ::kill(*child, 0);
    logMessage(levelInfo, "OpenVpn started with PID %d and status %d", *child, probe);
    if (probe < 0) {
        attempt->abandon();
        logMessage(levelError, "OpenVpn not started");
        return false;
    }
    attempt->watch(*child);
    return true;
}

}  // namespace control
