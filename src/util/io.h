#pragma once

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <limits>
#include <string>
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

}  // namespace util
