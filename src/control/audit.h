#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

namespace control {

// One end of a loopback TCP connection as the kernel's socket table shows it.
struct SocketEntry {
    uid_t uid = 0;    // the user whose process made the socket
    ino_t inode = 0;  // the socket's inode; 0 once no process holds it any more
    // The control group of the process that made it, where the kernel tells.
    std::optional<std::uint64_t> cgroup;
};

enum class End { Client, Daemon };

// Looks up one end of an accepted connection in the kernel's socket table by the connection's
// two addresses; none when the lookup fails (errno then tells why).
std::optional<SocketEntry> connectionEnd(int connection, End end);

}  // namespace control
