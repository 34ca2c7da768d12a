#include "dns/resolver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "core/fault_point.h"
#include "core/log.h"
#include "core/paths.h"
#include "dns/resolved.h"
#include "dns/resolver_watch.h"
#include "util/io.h"
#include "util/no_destructor.h"
#include "util/printable.h"
#include "util/rate_limit.h"
#include "util/unique_fd.h"

namespace dns {
namespace {

using core::levelError;
using core::levelInfo;
using core::levelWarning;
using core::logMessage;

// Resolver text and copy chunks are built in buffers of this size.
constexpr std::size_t textSize = 255;

// The connection handlers serialise the operations; `lock` also serialises them with the
// watch's answers to other programs' rewrites, which run on the watch's thread. The watch is
// started and stopped without `lock` held, since its answer takes it.
struct State {
    std::mutex lock;
    // Whether a backup exists that a restore failed to write back; it is then kept until a
    // restore succeeds.
    bool restoreFailed = false;
    // The text of the replacement in force, if one is.
    std::optional<std::string> replacement;
    // Reports of another program's rewrites.
    util::RateLimit rewriteReports{std::chrono::seconds(10)};
    ResolverWatch watch;
    // The link that systemd-resolved holds the tunnel's server for, if any, and where it is
    // recorded. Only the operations touch them, never the watch.
    std::optional<int> resolvedLink;
    resolved::LinkRecord recordLink = [](std::optional<int>) {};
};

State& state() {
    static util::NoDestructor<State> instance;
    return instance.get();
}

const std::string& resolverFile() {
    return core::paths().resolverFile;
}
const std::string& backupFile() {
    return core::paths().resolverBackup;
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// Copies everything from one descriptor to the other and makes it durable. On failure errno
// holds the failing call's error.
bool copyAll(int from, int to) {
    std::array<char, textSize> chunk{};
    for (;;) {
        const ssize_t count = ::read(from, chunk.data(), chunk.size());
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return false;
        if (count == 0) break;
        if (!util::writeAll(to, std::string_view(chunk.data(), static_cast<std::size_t>(count))))
            return false;
    }
    return ::fsync(to) == 0;
}

// Whether the resolver file begins with the daemon's own header line, i.e. still holds a
// replacement.
bool resolverHoldsReplacement();

// Whether the resolver file holds only a beginning of the backup: a restore that was cut short
// (the file was emptied and then not written back whole).
bool resolverHoldsPartOfBackup() {
    util::unique_fd resolver(::open(resolverFile().c_str(), O_RDONLY | O_CLOEXEC));
    util::unique_fd backup(::open(backupFile().c_str(), O_RDONLY | O_CLOEXEC));
    struct stat resolverStat {
    }, backupStat{};
    if (!resolver || !backup || ::fstat(resolver.get(), &resolverStat) != 0 ||
        ::fstat(backup.get(), &backupStat) != 0 || resolverStat.st_size >= backupStat.st_size) {
        return false;
    }
    std::array<char, textSize> ours{}, saved{};
    for (;;) {
        const ssize_t count = ::read(resolver.get(), ours.data(), ours.size());
        if (count < 0) return false;
        if (count == 0) return true;
        std::size_t have = 0;
        while (have < static_cast<std::size_t>(count)) {
            const ssize_t got =
                ::read(backup.get(), saved.data() + have, static_cast<std::size_t>(count) - have);
            if (got <= 0) return false;
            have += static_cast<std::size_t>(got);
        }
        if (std::memcmp(ours.data(), saved.data(), have) != 0) return false;
    }
}

bool resolverHoldsReplacement() {
    util::unique_fd fd(::open(resolverFile().c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return false;
    std::array<char, headerLine.size() + 1> start{};
    std::size_t have = 0;
    while (have < start.size()) {
        const ssize_t count = ::read(fd.get(), start.data() + have, start.size() - have);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        have += static_cast<std::size_t>(count);
    }
    const std::string_view text(start.data(), have);
    return text == headerLine || text == std::string(headerLine) + "\n";
}

// A nameserver text: an IPv4 or IPv6 address, an IPv6 link-local one with a %zone suffix.
bool isNameserverAddress(std::string_view text) {
    std::array<unsigned char, 16> bytes{};
    const std::size_t percent = text.find('%');
    const std::string address(text.substr(0, percent));
    if (address.size() >= INET6_ADDRSTRLEN) return false;
    if (percent == std::string_view::npos) {
        return inet_pton(AF_INET, address.c_str(), bytes.data()) == 1 ||
               inet_pton(AF_INET6, address.c_str(), bytes.data()) == 1;
    }
    const std::string_view zone = text.substr(percent + 1);
    const bool linkLocal = inet_pton(AF_INET6, address.c_str(), bytes.data()) == 1 &&
                           bytes[0] == 0xfe && (bytes[1] & 0xc0) == 0x80;
    return linkLocal && !zone.empty() && zone.size() < IF_NAMESIZE &&
           std::all_of(zone.begin(), zone.end(), [](char c) {
               return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '.' || c == '_' || c == '-';
           });
}

// Saves the resolver file byte for byte into a new backup. On failure nothing is left behind
// and the resolver file is untouched.
bool saveBackup(int resolver) {
    util::unique_fd backup(
        ::open(backupFile().c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!backup) {
        logMessage(levelError,
                   "Error %d trying to create pre-existing DNS configuration file backup.", errno);
        return false;
    }
    if (!copyAll(resolver, backup.get())) {
        const int error = errno;
        backup.reset();
        ::unlink(backupFile().c_str());
        logMessage(levelError,
                   "Error %d trying to save pre-existing DNS configuration file backup.", error);
        return false;
    }
    core::recordMade();
    return true;
}

// The header line and the nameserver, cut to what the resolver text buffer holds.
std::string replacementText(std::string_view address) {
    std::array<char, textSize> text{};
    const std::string nameserver(address);
    std::snprintf(text.data(), text.size(), "%s\nnameserver %s", std::string(headerLine).c_str(),
                  nameserver.c_str());
    return std::string(text.data(), strnlen(text.data(), text.size()));
}

// Replaces the resolver file; whether the replacement is in force.
bool replace(std::string_view address) {
    // A replacement already in force keeps its backup, which holds the system's own file;
    // copying the replacement over it would lose that file.
    const bool keepBackup =
        exists(backupFile()) && (state().restoreFailed || resolverHoldsReplacement());
    if (!keepBackup && exists(backupFile()) && ::unlink(backupFile().c_str()) != 0) {
        logMessage(levelError,
                   "Error %d trying to remove pre-existing DNS configuration backup file.", errno);
        return false;
    }
    util::unique_fd resolver(::open(resolverFile().c_str(), O_RDWR | O_EXCL | O_CLOEXEC));
    if (!resolver) {
        logMessage(levelError, "Error %d trying to open DNS configuration file.", errno);
        return false;
    }
    if (!keepBackup && !saveBackup(resolver.get())) return false;

    ::lseek(resolver.get(), 0, SEEK_SET);
    if (::ftruncate(resolver.get(), 0) != 0) {
        // The file is as it was: no replacement is in force, so a backup made for it goes.
        const int error = errno;
        if (!keepBackup) ::unlink(backupFile().c_str());
        logMessage(levelError, "Error %d trying to save new DNS configuration.", error);
        return false;
    }
    const std::string text = replacementText(address);
    if (!util::writeAll(resolver.get(), text)) {
        logMessage(levelError, "Error %d trying to save new DNS configuration.", errno);
        return false;
    }
    state().replacement = text;
    return true;
}

// Writes the backup back and removes it.
void restore() {
    util::unique_fd backup(::open(backupFile().c_str(), O_RDWR | O_EXCL | O_CLOEXEC));
    if (!backup) {
        logMessage(levelError,
                   "Error %d trying to open pre-existing DNS configuration file, system status may "
                   "be compromised.",
                   errno);
        return;
    }
    util::unique_fd resolver(::open(resolverFile().c_str(), O_RDWR | O_EXCL | O_TRUNC | O_CLOEXEC));
    if (!resolver) {
        const int error = errno;
        state().restoreFailed = true;
        logMessage(levelError, "Error %d trying to open and truncate DNS configuration file.",
                   error);
        return;
    }
    if (!copyAll(backup.get(), resolver.get())) {
        // The backup stays until a restore writes it back whole.
        const int error = errno;
        state().restoreFailed = true;
        logMessage(levelError, "Error %d trying to restore DNS configuration file.", error);
        return;
    }
    state().restoreFailed = false;
    core::recordMade();
    resolver.reset();
    backup.reset();
    if (::unlink(backupFile().c_str()) != 0) {
        logMessage(levelError,
                   "Error %d trying to remove pre-existing DNS configuration backup file.", errno);
    }
}

void discardOrRestoreBackup() {
    if (!exists(backupFile())) return;
    if (state().restoreFailed) {
        logMessage(levelWarning, "Keeping %s: it has not been written back yet.",
                   backupFile().c_str());
        return;
    }
    if (resolverHoldsReplacement() || resolverHoldsPartOfBackup()) {
        // The daemon ended while its replacement was in force, or while it was writing the
        // backup back, and nobody has rewritten the file since: give the system its own file
        // back.
        logMessage(levelInfo, "Restoring the DNS configuration replaced by an earlier run.");
        restore();
        return;
    }
    if (::unlink(backupFile().c_str()) != 0) {
        logMessage(levelError,
                   "Error %d trying to remove pre-existing DNS configuration backup file.", errno);
    }
}

// Replaces the backup at `path` with `text`, whole and synced, before anything changes the
// resolver file.
bool saveRewrittenBackup(const std::string& path, std::string_view text) {
    return util::replaceFile(path, text, 0644);
}

std::optional<std::string> readResolverFile(const std::string& path) {
    constexpr std::size_t largest = 1 << 20;  // no resolver file is larger
    util::unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    std::string text;
    if (!fd || !util::readAll(fd.get(), text, largest)) return std::nullopt;
    return text;
}

// Reports a rewrite at most every ten seconds, with the count of those not reported since.
void reportRewrite(const std::string& path) {
    unsigned held = 0;
    if (!state().rewriteReports.allow(held)) return;
    logMessage(levelWarning,
               "The resolver file %s was rewritten by another program and replaced again (%u "
               "more times since the last report)",
               path.c_str(), held);
}

// Another program wrote or replaced the resolver file while a replacement is in force: its
// text becomes the one to restore, and the replacement is written again. The watch passes the
// files it was started for, and only those are ever touched from its thread.
void answerRewrite(const std::string& resolverPath, const std::string& backupPath) {
    State& s = state();
    std::lock_guard guard(s.lock);
    if (!s.replacement) return;
    const std::optional<std::string> text = readResolverFile(resolverPath);
    if (!text || *text == *s.replacement) return;  // gone for now, or our own write
    if (!saveRewrittenBackup(backupPath, *text)) {
        logMessage(levelError, "Error %d trying to save the rewritten DNS configuration file.",
                   errno);
        return;
    }
    util::unique_fd resolver(::open(resolverPath.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
    if (!resolver || !util::writeAll(resolver.get(), *s.replacement)) {
        logMessage(levelError, "Error %d trying to save new DNS configuration.", errno);
        return;
    }
    reportRewrite(resolverPath);
}
}  // namespace

void ReplaceDns(std::string_view address, std::optional<int> tunnelLink) {
    if (!isNameserverAddress(address)) {
        logMessage(levelError, "Refusing nameserver '%s': not an IP address",
                   util::printable(address).c_str());
        return;
    }
    State& s = state();
    // resolved first: it rewrites its stub file when a link's servers change, and that rewrite
    // is then mostly over before the backup copies the file.
    s.resolvedLink = resolved::Give(address, tunnelLink, s.resolvedLink, s.recordLink);
    // Watching before the replacement is written, so that no rewrite by another program slips
    // in between; started afresh, so that it also follows a link made since the last one.
    s.watch.start(resolverFile(), [resolver = resolverFile(), backup = backupFile()] {
        answerRewrite(resolver, backup);
    });
    bool inForce = false;
    {
        std::lock_guard guard(s.lock);
        replace(address);
        inForce = s.replacement.has_value();
    }
    if (!inForce) s.watch.stop();
}

void ResetDns() {
    State& s = state();
    s.watch.stop();
    {
        std::lock_guard guard(s.lock);
        s.replacement.reset();
        restore();
    }
    if (s.resolvedLink) TakeBackResolvedLink(*std::exchange(s.resolvedLink, std::nullopt));
}

void SetResolvedLinkRecorder(std::function<void(std::optional<int>)> record) {
    state().recordLink = std::move(record);
}

void TakeBackResolvedLink(int link) {
    if (resolved::TakeBack(link)) state().recordLink(std::nullopt);
}

void InitializeDnsVariables() {
    State& s = state();
    s.watch.stop();
    std::lock_guard guard(s.lock);
    s.replacement.reset();
    discardOrRestoreBackup();
}
bool ReplacementInForce() {
    std::lock_guard guard(state().lock);
    return state().replacement.has_value();
}

}  // namespace dns
