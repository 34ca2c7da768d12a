#pragma once

#include <unistd.h>

#include <cerrno>
#include <string_view>

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

}  // namespace util
