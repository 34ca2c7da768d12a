#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>

#include "util/unique_fd.h"

namespace util {

// Writes all of `text` to `fd`, going on after short writes and interruptions. On failure
// errno tells why (EIO when the descriptor took nothing).
inline bool writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            if (written == 0) errno = EIO;
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// Reads `fd` to its end, appending to `text` and going on after interruptions. False on a read
// error (errno tells why) or once `text` holds more than `limit` bytes (errno is then EFBIG).
inline bool readAll(int fd, std::string& text,
                    std::size_t limit = std::numeric_limits<std::size_t>::max()) {
    std::array<char, 4096> chunk{};
    for (;;) {
        const ssize_t count = ::read(fd, chunk.data(), chunk.size());
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return false;
        if (count == 0) return true;
        text.append(chunk.data(), static_cast<std::size_t>(count));
        if (text.size() > limit) {
            errno = EFBIG;
            return false;
        }
    }
}

// Writes `text` under a fresh name beside `path` with `mode` (and `owner`'s ids, when given),
// syncs it and renames it over `path`: a crash leaves the old file or the new one, never a
// truncated one, and no link at the fresh name is followed. On failure nothing is left behind
// and errno tells why.
inline bool replaceFile(const std::string& path, std::string_view text, mode_t mode,
                        const struct stat* owner = nullptr) {
    std::string temporary = path + ".XXXXXX";
    unique_fd file(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!file) return false;
    const bool written =
        ::fchmod(file.get(), mode) == 0 &&
        (owner == nullptr || ::fchown(file.get(), owner->st_uid, owner->st_gid) == 0) &&
        writeAll(file.get(), text) && ::fsync(file.get()) == 0;
    file.reset();
    if (written && ::rename(temporary.c_str(), path.c_str()) == 0) return true;
    const int error = errno;
    ::unlink(temporary.c_str());
    errno = error;
    return false;
}

}  // namespace util
