#include "control/trust.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "util/path.h"

namespace control {
namespace {

bool trustedOwner(uid_t owner, uid_t alsoTrusted) {
    return owner == 0 || owner == alsoTrusted;
}

bool writableByOthers(mode_t mode) {
    return (mode & (S_IWGRP | S_IWOTH)) != 0;
}

TrustVerdict refuse(std::string resolved, std::string reason) {
    return TrustVerdict{false, std::move(resolved), std::move(reason)};
}

std::optional<std::string> realPath(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    if (!real) return std::nullopt;
    return std::string(real.get());
}

// Why some directory from `directory` up to / could hold what someone other than root put
// there; none when no directory could.
std::optional<std::string> untrustedDirectory(std::string directory, uid_t alsoTrusted) {
    for (;;) {
        struct stat st {};
        if (::stat(directory.c_str(), &st) != 0) {
            return "lies under " + directory + ", which cannot be examined";
        }
        if (!trustedOwner(st.st_uid, alsoTrusted)) {
            return "lies under " + directory + ", which is not owned by root";
        }
        if (writableByOthers(st.st_mode) && (st.st_mode & S_ISVTX) == 0) {
            return "lies under " + directory + ", which group or others may write";
        }
        if (directory == "/") return std::nullopt;
        directory = util::parentDirectory(directory);
    }
}

}  // namespace

TrustVerdict checkTrustedProgram(const std::string& path, uid_t alsoTrusted) {
    if (path.empty()) return refuse({}, "no path");
    const std::optional<std::string> real = realPath(path);
    if (!real) return refuse({}, std::string("cannot be resolved: ") + std::strerror(errno));
    const std::string& resolved = *real;

    struct stat st {};
    if (::stat(resolved.c_str(), &st) != 0) {
        return refuse(resolved, std::string("cannot be examined: ") + std::strerror(errno));
    }
    if (!S_ISREG(st.st_mode)) return refuse(resolved, "is not a regular file");
    if (!trustedOwner(st.st_uid, alsoTrusted)) return refuse(resolved, "is not owned by root");
    if (writableByOthers(st.st_mode)) return refuse(resolved, "is writable by group or others");
    if (auto reason = untrustedDirectory(util::parentDirectory(resolved), alsoTrusted)) {
        return refuse(resolved, std::move(*reason));
    }
    return TrustVerdict{true, resolved, {}};
}

TrustVerdict checkTrustedDirectory(const std::string& path, uid_t alsoTrusted) {
    const std::optional<std::string> real = path.starts_with('/') ? realPath(path) : std::nullopt;
    if (!real) return refuse({}, "cannot be resolved");
    struct stat st {};
    if (::stat(real->c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return refuse(*real, "is not a directory");
    }
    // The directory itself counts as one of those it lies under.
    if (auto reason = untrustedDirectory(*real, alsoTrusted)) return refuse(*real, *reason);
    return TrustVerdict{true, *real, {}};
}

bool isOpenVpnProgram(const std::string& resolved, const std::vector<std::string>& listed) {
    if (resolved.substr(resolved.find_last_of('/') + 1) == "openvpn") return true;
    return std::any_of(listed.begin(), listed.end(),
                       [&](const std::string& program) { return realPath(program) == resolved; });
}

bool inTrustedDirectory(const std::string& path, const std::vector<std::string>& directories,
                        uid_t alsoTrusted) {
    for (const std::string& listed : directories) {
        // Only names that say they lie there are resolved: the daemon resolves nothing else
        // that a client names.
        const std::string prefix = listed.ends_with('/') ? listed : listed + "/";
        if (!path.starts_with(prefix)) continue;
        const TrustVerdict directory = checkTrustedDirectory(listed, alsoTrusted);
        const std::optional<std::string> real = realPath(path);
        if (directory.trusted && real && real->starts_with(directory.resolved + "/")) return true;
    }
    return false;
}

}  // namespace control
