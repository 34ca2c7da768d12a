#pragma once

#include <netinet/in.h>

#include <cstddef>

#include "util/unique_fd.h"

namespace control {

// Runs the loopback listener and serves one client at a time. Returns -1 on a fatal error and
// does not return otherwise.
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
