#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace util {

enum class DirectoryState {
    Private,  // a directory of this user's alone: what lies in it can be trusted later
    Unmade,   // it did not exist and could not be made; errno tells why
    Shared,   // something else stands there: a link, a file, another user's or an open directory
};

// Makes `directory` with mode 0700 unless it exists, and tells whether only this user can
// enter it. For Shared, errno is EPERM.
inline DirectoryState makePrivateDirectory(const std::string& directory) {
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) return DirectoryState::Unmade;
    struct stat st {};
    if (::lstat(directory.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
        (st.st_mode & 077) == 0) {
        return DirectoryState::Private;
    }
    errno = EPERM;
    return DirectoryState::Shared;
}

}  // namespace util
