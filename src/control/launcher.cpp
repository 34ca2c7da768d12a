#include "control/launcher.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <system_error>
#include <thread>

#include "control/policy.h"
#include "control/trust.h"
#include "core/log.h"
#include "core/paths.h"
#include "modes/modes.h"
#include "util/unique_fd.h"
#include "util/words.h"

namespace control {
namespace {

using core::levelError;
using core::levelInfo;
using core::logMessage;

// The process watcher of the latest successful launch. A watcher whose launch has been
// superseded still reaps its own child but no longer reports the connection closed.
// Guarded by the state lock.
unsigned vpnWatchGeneration = 0;
std::optional<pid_t> latestChild;  // while it runs

void VpnWatchWorker(pid_t child, unsigned generation) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    modes::StateGuard guard;
    if (generation != vpnWatchGeneration) return;
    latestChild.reset();
    modes::ConnectionClosed();
}

void WatchOpenVpnPid(pid_t child) {
    unsigned generation = 0;
    {
        modes::StateGuard guard;
        generation = ++vpnWatchGeneration;
        latestChild = child;
    }
    try {
        std::thread(VpnWatchWorker, child, generation).detach();
    } catch (const std::system_error& error) {
        logMessage(levelError, "Error %d launching OpenVPN worker thread.", error.code().value());
    }
}

// Waits for the child's report on its exec: none when exec succeeded (the pipe closed on
// exec), otherwise the error number exec failed with.
std::optional<int> execFailure(int reportPipe) {
    int error = 0;
    for (;;) {
        const ssize_t count = ::read(reportPipe, &error, sizeof error);
        if (count < 0 && errno == EINTR) continue;
        if (count == static_cast<ssize_t>(sizeof error)) return error;
        return std::nullopt;
    }
}

// Applies the launch policy; logs what it refuses, and where, without echoing any file's text.
PolicyVerdict applyLaunchPolicy(const std::vector<std::string>& argv, const std::string& path) {
    std::string directory = workingDirectoryFor(path).value_or("");
    if (directory.empty()) {
        std::array<char, PATH_MAX> current{};
        if (::getcwd(current.data(), current.size()) != nullptr) directory = current.data();
    }
    PolicyVerdict verdict = checkLaunchPolicy(argv, directory);
    if (verdict.allowed) return verdict;
    if (verdict.file.empty()) {
        logMessage(levelError, "Refusing the OpenVpn command line: --%s %s", verdict.option.c_str(),
                   verdict.reason.c_str());
    } else if (verdict.line == 0) {
        logMessage(levelError, "Refusing the OpenVpn command line: configuration file %s %s",
                   verdict.file.c_str(), verdict.reason.c_str());
    } else {
        logMessage(levelError, "Refusing the OpenVpn command line: %s line %d: %s %s",
                   verdict.file.c_str(), verdict.line, verdict.option.c_str(),
                   verdict.reason.c_str());
    }
    return verdict;
}

// Writes `text` to a new file at `path` that only root can read or change.
bool writePrivateFile(const std::string& path, const std::string& text) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return false;
    util::unique_fd file(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file) return false;
    std::string_view rest(text);
    while (!rest.empty()) {
        const ssize_t written = ::write(file.get(), rest.data(), rest.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        rest.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// The configuration files a client names stay in its hands, and could be changed between the
// check and OpenVPN's own reading. OpenVPN is therefore pointed at private copies of exactly
// the text that was checked.
bool handOverCheckedConfigurations(std::vector<std::string>& argv, const PolicyVerdict& verdict) {
    if (verdict.configurations.empty()) return true;
    const std::string& directory = core::paths().runtimeDirectory;
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        const int error = errno;
        logMessage(levelError, "mkdir() failed, error is %d:%s", error, std::strerror(error));
        return false;
    }
    struct stat st {};
    if (::lstat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & 077) != 0) {
        logMessage(levelError, "Refusing to keep OpenVpn configurations in %s: it is not private",
                   directory.c_str());
        return false;
    }
    for (const CheckedConfiguration& configuration : verdict.configurations) {
        const std::string copy =
            directory + "/openvpn-" + std::to_string(configuration.argument) + ".conf";
        if (!writePrivateFile(copy, configuration.text)) {
            const int error = errno;
            logMessage(levelError, "Could not copy the OpenVpn configuration to %s, error is %d:%s",
                       copy.c_str(), error, std::strerror(error));
            return false;
        }
        argv[configuration.argument] = copy;
    }
    return true;
}

void reapNow(pid_t child) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

std::optional<pid_t> OpenVpnPid() {
    return latestChild;
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

void Launcher::receivePath(const Frame& frame) {
    // A frame of fewer than six bytes yields an empty path.
    const std::size_t length = frame.received > 6 ? frame.received - 6 : 0;
    const std::string_view text = frame.text(6);
    openVpnPath_ = std::string(text.substr(0, std::min(length, text.size())));
    logMessage(levelInfo, "Openvpn path received from the client; %s", openVpnPath_->c_str());
}

Outcome Launcher::launch(std::string_view commandLine, int client) {
    const std::string line(commandLine);
    logMessage(levelInfo, "Openvpn command line received from the client; %s", line.c_str());
    std::vector<std::string> words = tokenizeCommandLine(commandLine);
    for (std::size_t i = 0; i < words.size(); ++i) {
        logMessage(levelInfo, "param[%d] = %s", static_cast<int>(i), words[i].c_str());
    }
    logMessage(levelInfo, "Start OpenVpn");

    if (!openVpnPath_ || openVpnPath_->empty()) {
        logMessage(levelError, "No OpenVpn path received from the client, not starting it");
        sendReply(client, statusMsgOpenVpnFailed);
        return Outcome::NextFrame;
    }
    const std::string& path = *openVpnPath_;
    if (words.empty()) words.push_back(path);
    const PolicyVerdict policy = applyLaunchPolicy(words, path);
    if (!policy.allowed) {
        sendReply(client, statusMsgOpenVpnFailed);
        return Outcome::NextFrame;
    }
    const TrustVerdict verdict = checkTrustedProgram(path);
    if (!verdict.trusted) {
        logMessage(levelError, "Refusing to run %s as root: it %s", path.c_str(),
                   verdict.reason.c_str());
        sendReply(client, statusMsgOpenVpnFailed);
        return Outcome::NextFrame;
    }
    if (!handOverCheckedConfigurations(words, policy)) {
        sendReply(client, statusMsgOpenVpnFailed);
        return Outcome::NextFrame;
    }
    if (const std::optional<std::string> directory = workingDirectoryFor(path)) {
        if (::chdir(directory->c_str()) != 0) {
            const int error = errno;
            logMessage(levelError, "chdir() failed, error is %d:%s", error, std::strerror(error));
            return Outcome::StopDaemon;
        }
        logMessage(levelInfo, "Working directory changed to %s", directory->c_str());
    }

    // Everything the child needs is made before the fork: between fork and exec it may only
    // make async-signal-safe calls.
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    int reportFds[2];
    if (::pipe2(reportFds, O_CLOEXEC) != 0) {
        const int error = errno;
        logMessage(levelError, "pipe() failed, error is %d:%s", error, std::strerror(error));
        sendReply(client, statusMsgOpenVpnFailed);
        return Outcome::NextFrame;
    }
    util::unique_fd reportRead(reportFds[0]), reportWrite(reportFds[1]);

    const pid_t child = ::fork();
    if (child < 0) {
        const int error = errno;
        logMessage(levelError, "fork() failed, error is %d:%s", error, std::strerror(error));
        sendReply(client, statusMsgOpenVpnFailed);
        return Outcome::NextFrame;
    }
    if (child == 0) {
        ::execv(verdict.resolved.c_str(), argv.data());
        const int error = errno;
        [[maybe_unused]] const ssize_t ignored = ::write(reportWrite.get(), &error, sizeof error);
        ::_exit(127);
    }
    reportWrite.reset();
    logMessage(levelInfo, "OpenVpn started with PID %d", child);
    if (const std::optional<int> error = execFailure(reportRead.get())) {
        logMessage(levelError, "exec() failed, error is %d:%s", *error, std::strerror(*error));
        reapNow(child);
        sendReply(client, statusMsgOpenVpnFailed);
        return Outcome::NextFrame;
    }

    std::this_thread::sleep_for(std::chrono::seconds(1));
    const int probe = ::kill(child, 0);
    logMessage(levelInfo, "OpenVpn started with PID %d and status %d", child, probe);
    if (probe < 0) {
        sendReply(client, statusMsgOpenVpnFailed);
        logMessage(levelError, "OpenVpn not started");
        return Outcome::NextFrame;
    }
    sendReply(client, statusMsgOpenVpnStarted);
    logMessage(levelInfo, "OpenVpn started");
    WatchOpenVpnPid(child);
    return Outcome::NextFrame;
}

}  // namespace control
