#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <string_view>

#include "util/unique_fd.h"

namespace control {

// What clients may hold open at once. A connection of a user who holds as many as they may,
// or of a user other than root while all of them together do, is refused. Root's connections
// count against no bound, so that nobody can lock root out.
inline constexpr unsigned maxConnections = 32;        // of users other than root, together
inline constexpr unsigned maxConnectionsPerUser = 4;  // of any one user but root
// The frame a refused connection gets before it is closed: this text, a newline and why.
inline constexpr std::string_view connectionRefusal = "refused:connection";
// The loop accepts every connection at once; its queue only rides out a burst.
inline constexpr int listenBacklog = 64;
// The name of every connection's thread.
inline constexpr const char* connectionThreadName = "telvord-client";

// Runs the loopback listener and serves every admitted client at once, each on a thread of its
// own. Returns -1 on a fatal error and does not return otherwise.
int startWorkerLoop();

// Creates the stream socket and binds it to `address`. An empty descriptor after logging the
// failure; errno then holds the failing call's error.
util::unique_fd openListenSocket(const sockaddr_in& address);
// The socket's local port in host byte order, or -1 after logging the failure.
int getBoundPort(int socket);
// Publishes the port in the port file with mode 0674: written under a fresh name and renamed
// over the path, which replaces whatever stood there (a link, a file, a directory) without
// ever writing through it. 0, or -1 after logging the failure.
int writePortFile(int port);
void removePortFile();

// Reads until `size` bytes have arrived or the stream stops; returns how many arrived.
std::size_t receiveBuffer(int socket, char* buffer, std::size_t size, int flags);

}  // namespace control
