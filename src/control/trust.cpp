#include "control/trust.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

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

}  // namespace

TrustVerdict checkTrustedProgram(const std::string& path, uid_t alsoTrusted) {
    if (path.empty()) return refuse({}, "no path");
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    if (!real) return refuse({}, std::string("cannot be resolved: ") + std::strerror(errno));
    const std::string resolved = real.get();

    struct stat st {};
    if (::stat(resolved.c_str(), &st) != 0) {
        return refuse(resolved, std::string("cannot be examined: ") + std::strerror(errno));
    }
    if (!S_ISREG(st.st_mode)) return refuse(resolved, "is not a regular file");
    if (!trustedOwner(st.st_uid, alsoTrusted)) return refuse(resolved, "is not owned by root");
    if (writableByOthers(st.st_mode)) return refuse(resolved, "is writable by group or others");

    std::string directory = resolved;
    while (directory != "/") {
        const std::size_t slash = directory.find_last_of('/');
        directory = slash == 0 ? "/" : directory.substr(0, slash);
        if (::stat(directory.c_str(), &st) != 0) {
            return refuse(resolved, "lies under " + directory + ", which cannot be examined");
        }
        if (!trustedOwner(st.st_uid, alsoTrusted)) {
            return refuse(resolved, "lies under " + directory + ", which is not owned by root");
        }
        if (writableByOthers(st.st_mode) && (st.st_mode & S_ISVTX) == 0) {
            return refuse(resolved,
                          "lies under " + directory + ", which group or others may write");
        }
    }
    return TrustVerdict{true, resolved, {}};
}

}  // namespace control
