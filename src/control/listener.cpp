#include "control/listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "control/audit.h"
#include "control/dispatch.h"
#include "control/frame.h"
#include "control/launcher.h"
#include "core/log.h"
#include "core/paths.h"
#include "modes/modes.h"

namespace control {
namespace {

using core::levelError;
using core::levelInfo;
using core::logMessage;

// Logs "<call>() failed, error is N:text" for the error number `error`.
void logFailure(const char* call, int error) {
    logMessage(levelError, "%s() failed, error is %d:%s", call, error, std::strerror(error));
}

// Serves one client until it closes, sends "clientshutdown:" or the daemon must stop.
Outcome serveClient(int client, Operations& operations) {
    Frame frame;
    for (;;) {
        logMessage(levelInfo, "Waiting for client response");
        frame.clear();
        frame.received = receiveBuffer(client, frame.bytes.data(), frameSize, 0);
        if (frame.received == 0) {
            logMessage(levelInfo, "Client has closed the connection");
            return Outcome::EndClient;
        }
        const Outcome outcome = dispatchFrame(frame, client, operations);
        if (outcome != Outcome::NextFrame) return outcome;
    }
}

}  // namespace

util::unique_fd openListenSocket(const sockaddr_in& address) {
    logMessage(levelInfo, "Open socket");
    util::unique_fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener) {
        const int error = errno;
        logFailure("socket", error);
        errno = error;
        return {};
    }
    logMessage(levelInfo, "Call bind())");
    if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        logFailure("bind", error);
        errno = error;
        return {};
    }
    logMessage(levelInfo, "Socket bound");
    return listener;
}

int getBoundPort(int socket) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        logFailure("getsockname", errno);
        return -1;
    }
    return ntohs(local.sin_port);
}

int writePortFile(int port) {
    const std::string& path = core::paths().portFile;
    // The file lies in a world-writable directory. Whatever stands at the path (a planted link,
    // a hard link to another file, a file of another user) is removed, and the file is created
    // anew without following links; O_EXCL fails rather than open anything planted meanwhile.
    util::unique_fd file;
    for (int attempt = 0; attempt < 3 && !file; ++attempt) {
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            logFailure("unlink", errno);
            return -1;
        }
        file.reset(
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!file && errno != EEXIST) break;
    }
    if (!file) {
        logFailure("open", errno);
        return -1;
    }
    const std::string text = std::to_string(port);
    if (::write(file.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        logFailure("write", errno);
        return -1;
    }
    if (::fchmod(file.get(), 0674) != 0) {
        logFailure("fchmod", errno);
        return -1;
    }
    return 0;
}

void removePortFile() {
    ::unlink(core::paths().portFile.c_str());
}

std::size_t receiveBuffer(int socket, char* buffer, std::size_t size, int flags) {
    std::size_t total = 0;
    while (size > 0) {
        const ssize_t count = ::recv(socket, buffer, size, flags);
        if (count < 0 && errno == EAGAIN) continue;
        if (count <= 0) break;
        buffer += count;
        size -= static_cast<std::size_t>(count);
        total += static_cast<std::size_t>(count);
    }
    return total;
}

int startWorkerLoop() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = 0;  // the system chooses a free port
    ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);

    util::unique_fd listener = openListenSocket(address);
    if (!listener) {
        logMessage(levelError, "Error %d creating socket, exiting", errno);
        return -1;
    }
    logMessage(levelInfo, "Get the port number");
    const int port = getBoundPort(listener.get());
    if (port == -1 || port == 0) {
        logMessage(levelError, "Could not determine the port, exiting");
        return -1;
    }
    if (writePortFile(port) != 0) {
        logMessage(levelError, "Could not write the port file %s, exiting",
                   core::paths().portFile.c_str());
        return -1;
    }
    logMessage(levelInfo, "Port number %d written to %s, call listen()", port,
               core::paths().portFile.c_str());
    if (::listen(listener.get(), 1) != 0) {
        logFailure("listen", errno);
        return -1;
    }
    logMessage(levelInfo, "Socket listening, start loop");
    const int savedFlags = ::fcntl(listener.get(), F_GETFL);
    modes::SetAsDisconnected();

    Launcher launcher;
    Operations operations = daemonOperations(launcher);
    for (;;) {
        ::fcntl(listener.get(), F_SETFL, savedFlags);
        logMessage(levelInfo, "Call accept()");
        sockaddr_in peer{};
        socklen_t peerLength = sizeof peer;
        util::unique_fd client(::accept4(listener.get(), reinterpret_cast<sockaddr*>(&peer),
                                         &peerLength, SOCK_CLOEXEC));
        if (!client) {
            const int error = errno;
            if (error == EINTR) {
                logMessage(levelError, "accept() received a signal, retrying...");
                continue;
            }
            logMessage(levelError, "accept() failed - exiting, error is %d:%s", error,
                       std::strerror(error));
            return -1;
        }
        ::fcntl(listener.get(), F_SETFL, savedFlags | O_NONBLOCK);
        logMessage(levelInfo,
                   "Client connected, waiting for OpenVpn information from the telvor client");
        logClientOwner(client.get());
        if (serveClient(client.get(), operations) == Outcome::StopDaemon) return -1;
    }
}

}  // namespace control
