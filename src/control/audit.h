#pragma once

#include <sys/types.h>

#include <optional>

namespace control {

// The uid that owns the client's end of an accepted loopback TCP connection, looked up in the
// kernel's socket table by the connection's two ends; none when the lookup fails (errno then
// tells why).
std::optional<uid_t> clientSocketOwner(int connection);

// Logs who drove the daemon: the owner of the client's socket, or that it could not be found.
void logClientOwner(int connection);

}  // namespace control
