#include "dns/resolver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/log.h"
#include "core/paths.h"
#include "util/io.h"
#include "util/unique_fd.h"

namespace dns {
namespace {

using core::levelError;
using core::levelInfo;
using core::logMessage;

// Resolver text and copy chunks are built in buffers of this size.
constexpr std::size_t textSize = 255;

// Whether a backup exists that a restore failed to write back; it is then kept until a
// restore succeeds. Guarded, like the files, by the state lock of the connection handlers.
struct State {
    bool restoreFailed = false;
};

State& state() {
    static State instance;
    return instance;
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

std::string printable(std::string_view text) {
    std::string shown(text.substr(0, 64));
    std::replace_if(
        shown.begin(), shown.end(),
        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }, '?');
    if (text.size() > 64) shown += "...";
    return shown;
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
    return true;
}

}  // namespace

void ReplaceDns(std::string_view address) {
    if (!isNameserverAddress(address)) {
        logMessage(levelError, "Refusing nameserver '%s': not an IP address",
                   printable(address).c_str());
        return;
    }
    // A replacement already in force keeps its backup, which holds the system's own file;
    // copying the replacement over it would lose that file.
    const bool keepBackup =
        exists(backupFile()) && (state().restoreFailed || resolverHoldsReplacement());
    if (!keepBackup && exists(backupFile()) && ::unlink(backupFile().c_str()) != 0) {
        logMessage(levelError,
                   "Error %d trying to remove pre-existing DNS configuration backup file.", errno);
        return;
    }
    util::unique_fd resolver(::open(resolverFile().c_str(), O_RDWR | O_EXCL | O_CLOEXEC));
    if (!resolver) {
        logMessage(levelError, "Error %d trying to open DNS configuration file.", errno);
        return;
    }
    if (!keepBackup && !saveBackup(resolver.get())) return;

    ::lseek(resolver.get(), 0, SEEK_SET);
    if (::ftruncate(resolver.get(), 0) != 0) {
        // The file is as it was: no replacement is in force, so a backup made for it goes.
        const int error = errno;
        if (!keepBackup) ::unlink(backupFile().c_str());
        logMessage(levelError, "Error %d trying to save new DNS configuration.", error);
        return;
    }
    std::array<char, textSize> text{};
    const std::string nameserver(address);
    std::snprintf(text.data(), text.size(), "%s\nnameserver %s", std::string(headerLine).c_str(),
                  nameserver.c_str());
    if (!util::writeAll(resolver.get(),
                        std::string_view(text.data(), strnlen(text.data(), text.size())))) {
        logMessage(levelError, "Error %d trying to save new DNS configuration.", errno);
    }
}

void ResetDns() {
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
    resolver.reset();
    backup.reset();
    if (::unlink(backupFile().c_str()) != 0) {
        logMessage(levelError,
                   "Error %d trying to remove pre-existing DNS configuration backup file.", errno);
    }
}

void InitializeDnsVariables() {
    if (!exists(backupFile())) return;
    if (state().restoreFailed) {
        logMessage(core::levelWarning, "Keeping %s: it has not been written back yet.",
                   backupFile().c_str());
        return;
    }
    if (resolverHoldsReplacement() || resolverHoldsPartOfBackup()) {
        // The daemon ended while its replacement was in force, or while it was writing the
        // backup back, and nobody has rewritten the file since: give the system its own file
        // back.
        logMessage(levelInfo, "Restoring the DNS configuration replaced by an earlier run.");
        ResetDns();
        return;
    }
    if (::unlink(backupFile().c_str()) != 0) {
        logMessage(levelError,
                   "Error %d trying to remove pre-existing DNS configuration backup file.", errno);
    }
}

}  // namespace dns
