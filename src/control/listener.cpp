#include "control/listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>

#include "control/access.h"
#include "control/admission.h"
#include "control/audit.h"
#include "control/dispatch.h"
#include "control/frame.h"
#include "control/launcher.h"
#include "core/log.h"
#include "core/paths.h"
#include "modes/modes.h"
#include "util/io.h"
#include "util/no_destructor.h"

namespace control {
namespace {

using core::levelError;
using core::levelInfo;
using core::logMessage;

// Logs "<call>() failed, error is N:text" for the error number `error`.
void logFailure(const char* call, int error) {
    logMessage(levelError, "%s() failed, error is %d:%s", call, error, std::strerror(error));
}

// Renames `from` over `to`. A directory planted at `to`, which a file cannot replace, is first
// moved aside under a fresh name. On failure errno tells why.
bool renameOverPlanted(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) == 0) return true;
    if (errno != EISDIR) return false;
    std::string aside = to + ".XXXXXX";
    if (::mkdtemp(aside.data()) == nullptr) return false;
    // A directory may replace an empty one; the planted one keeps its content, out of the way.
    if (::rename(to.c_str(), aside.c_str()) != 0) {
        const int error = errno;
        ::rmdir(aside.c_str());
        errno = error;
        return false;
    }
    logMessage(core::levelWarning, "Moved a directory at %s aside to %s", to.c_str(),
               aside.c_str());
    return ::rename(from.c_str(), to.c_str()) == 0;
}

// Errors of accept() that leave the listening socket sound: a peer that went away, the daemon
// or the system short of descriptors or memory, a network error of the new connection. Any
// local user can cause the first ones by opening connections or files, so none of them may end
// the daemon and with it the kill switch.
bool transientAcceptError(int error) {
    switch (error) {
        case ECONNABORTED:
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
        case EPROTO:
        case EPERM:
        case ENETDOWN:
        case ENETUNREACH:
        case EHOSTDOWN:
        case EHOSTUNREACH:
        case ENONET:
        case ENOPROTOOPT:
        case ETIMEDOUT:
            return true;
        default:
            return false;
    }
}

// Logs a failure of `what` for want of resources and sleeps for `pause`, which grows while such
// failures go on, so that a shortage is neither spun on nor logged without end.
void pauseAfter(const char* what, int error, std::chrono::milliseconds& pause) {
    pause = std::clamp(pause * 2, std::chrono::milliseconds{10}, std::chrono::milliseconds{1000});
    logMessage(levelError, "%s failed, error is %d:%s; retrying in %d ms", what, error,
               std::strerror(error), static_cast<int>(pause.count()));
    std::this_thread::sleep_for(pause);
}

// Accepts the next client into `client`. Returns false on an error the loop cannot go on
// from; `client` stays empty after an error worth another try, which is followed by a pause
// kept by the caller.
bool acceptClient(int listener, util::unique_fd& client, std::chrono::milliseconds& pause) {
    sockaddr_in peer{};
    socklen_t peerLength = sizeof peer;
    client.reset(
        ::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_CLOEXEC));
    if (client) {
        pause = std::chrono::milliseconds{0};
        return true;
    }
    const int error = errno;
    if (error == EINTR) {
        logMessage(levelError, "accept() received a signal, retrying...");
        return true;
    }
    if (!transientAcceptError(error)) {
        logMessage(levelError, "accept() failed - exiting, error is %d:%s", error,
                   std::strerror(error));
        return false;
    }
    pauseAfter("accept()", error, pause);
    return true;
}

// The client end of the accepted `client`, as the kernel's socket table shows it; none, after
// a line saying why, when it cannot be found. A shortage of descriptors or memory leaves it
// unknown, which is never taken for an answer: the daemon pauses and looks again.
std::optional<SocketEntry> clientEnd(int client, std::chrono::milliseconds& pause) {
    for (;;) {
        const std::optional<SocketEntry> end = connectionEnd(client, End::Client);
        const int error = errno;
        if (end) return end;
        if (!resourceShortage(error)) {
            logMessage(levelError, "Refusing the client connection: its socket cannot be found: %s",
                       std::strerror(error));
            return std::nullopt;
        }
        pauseAfter("Looking up the client connection", error, pause);
    }
}

// Tells the client why its connection is refused, in one frame, and closes it. What it sent
// meanwhile is read first, so that the close ends the connection in order rather than with a
// reset, which could take the frame away before the client reads it.
void refuseConnection(int client, const std::string& why) {
    const std::string text = std::string(connectionRefusal) + "\n" + why;
    std::array<char, frameSize> frame{};
    std::copy_n(text.begin(), std::min(text.size(), frame.size() - 1), frame.begin());
    // A new connection's send buffer takes one frame at once; nothing here waits for a client.
    [[maybe_unused]] const ssize_t sent =
        ::send(client, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::shutdown(client, SHUT_WR);
    std::array<char, frameSize> scrap{};
    while (::recv(client, scrap.data(), scrap.size(), MSG_DONTWAIT) > 0) {
    }
}

class Slot;

// The connections being served, by owner. Its lock is held only to count.
class OpenConnections {
  public:
    // A place for a new connection of `uid`, given back when the place goes; none, with why
    // in `refusal`, while a bound is reached.
    std::optional<Slot> take(uid_t uid, std::string& refusal);

  private:
    friend class Slot;
    void giveBack(uid_t uid);

    std::mutex lock_;
    std::unordered_map<uid_t, unsigned> byUser_;
    unsigned others_ = 0;  // of users other than root
};

// A served connection's place among the open ones.
class Slot {
  public:
    Slot(OpenConnections& open, uid_t uid) : open_(&open), uid_(uid) {}
    Slot(Slot&& other) noexcept : open_(std::exchange(other.open_, nullptr)), uid_(other.uid_) {}
    Slot& operator=(Slot&&) = delete;
    ~Slot() {
        if (open_ != nullptr) open_->giveBack(uid_);
    }

  private:
    OpenConnections* open_;
    uid_t uid_;
};

std::optional<Slot> OpenConnections::take(uid_t uid, std::string& refusal) {
    const std::lock_guard<std::mutex> lock(lock_);
    const auto mine = byUser_.find(uid);
    // Root's connections count against no bound, so that no process, not even one of root's
    // holding idle connections, can lock root out.
    if (uid != 0 && mine != byUser_.end() && mine->second >= maxConnectionsPerUser) {
        refusal = "it holds " + std::to_string(mine->second) + " connections already";
        return std::nullopt;
    }
    if (uid != 0 && others_ >= maxConnections) {
        refusal = std::to_string(others_) + " connections of users other than root are open";
        return std::nullopt;
    }
    ++byUser_[uid];
    if (uid != 0) ++others_;
    return Slot(*this, uid);
}

void OpenConnections::giveBack(uid_t uid) {
    const std::lock_guard<std::mutex> lock(lock_);
    if (--byUser_[uid] == 0) byUser_.erase(uid);
    if (uid != 0) --others_;
}

// One served connection and everything the daemon holds for it, given up together when it
// ends: its socket, its owner, its place among the open connections, its frame being read.
// A launch it asks for runs on its thread and replies on its socket.
struct Connection {
    util::unique_fd socket;
    Client client;
    std::optional<Slot> slot;
    Frame frame;
};

// Serves one connection on a thread of its own until the client closes it or sends
// "clientshutdown:". Its frames are handled in their order; what it waits for (a frame, a
// launch, a reply the client does not read) holds up no other connection.
void serveConnection(Connection connection, Operations& operations) {
    // The thread bears a name of its own, so that people and tests can tell it from the
    // daemon's lasting threads, except while it handles a frame: a thread that a handler starts
    // (a watcher) inherits the name it bears then, the daemon's own.
    const pthread_t self = ::pthread_self();
    std::array<char, 16> daemonName{};
    ::pthread_getname_np(self, daemonName.data(), daemonName.size());
    ::pthread_setname_np(self, connectionThreadName);
    Client& client = connection.client;
    client.mayChange = mayChange(client.uid);
    Frame& frame = connection.frame;
    for (;;) {
        logMessage(levelInfo, "Waiting for client response");
        frame.clear();
        frame.received = receiveBuffer(client.socket, frame.bytes.data(), frameSize, 0);
        if (frame.received == 0) {
            logMessage(levelInfo, "Client has closed the connection");
            return;
        }
        ::pthread_setname_np(self, daemonName.data());
        const Outcome outcome = dispatchFrame(frame, client, operations);
        ::pthread_setname_np(self, connectionThreadName);
        if (outcome != Outcome::NextFrame) return;
    }
}

// Decides on the connection's own thread whether it is served, and as whom, then serves it.
// The place it took for the user the kernel named is moved to the user it is served as.
void admitAndServe(Connection connection, SocketEntry end, OpenConnections& open,
                   Operations& operations) {
    std::chrono::milliseconds pause{0};
    ClientAdmission admission;
    for (;;) {
        admission = admitClient(connection.socket.get(), end);
        if (admission.shortage == 0) break;
        pauseAfter("Looking up the client connection", admission.shortage, pause);
    }
    if (!admission.client) {
        refuseConnection(connection.socket.get(), admission.refusal);
        return;
    }
    const uid_t owner = admission.client->uid;
    if (owner != end.uid) {
        std::string refusal;
        std::optional<Slot> slot = open.take(owner, refusal);
        if (!slot) {
            logMessage(levelError, "Refusing the client connection of uid %u: %s",
                       static_cast<unsigned>(owner), refusal.c_str());
            refuseConnection(connection.socket.get(), refusal);
            return;
        }
        connection.slot.reset();
        connection.slot.emplace(std::move(*slot));
    }
    connection.client.uid = owner;
    serveConnection(std::move(connection), operations);
}

// Starts the admission of an accepted client on a thread of its own, or refuses it at once:
// a peer that is gone already (the kernel shows no inode for its socket: nobody holds it, so
// nobody can be told to have made it), or one whose user, or all users other than root
// together, hold as many connections as they may. Nothing that takes long runs here, on the
// thread that accepts everyone's connections.
void startServing(util::unique_fd socket, const SocketEntry& end, OpenConnections& open,
                  Operations& operations) {
    if (end.inode == 0) {
        logMessage(levelError,
                   "Refusing a client connection of an unknown user: it closed its end before "
                   "it was accepted");
        return;
    }
    std::string refusal;
    std::optional<Slot> slot = open.take(end.uid, refusal);
    if (!slot) {
        logMessage(levelError, "Refusing the client connection of uid %u: %s",
                   static_cast<unsigned>(end.uid), refusal.c_str());
        refuseConnection(socket.get(), refusal);
        return;
    }
    const int fd = socket.get();
    try {
        std::thread(admitAndServe,
                    Connection{std::move(socket), Client{fd, end.uid}, std::move(*slot), {}}, end,
                    std::ref(open), std::ref(operations))
            .detach();
    } catch (const std::system_error& error) {
        logMessage(levelError, "Error %d starting a thread for the client connection",
                   error.code().value());
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
    // The file lies in a world-writable directory, where anyone may plant a link, a file or a
    // directory at its path at any moment. It is written whole under a fresh name that nobody
    // can have planted (mkostemp creates it exclusively, so no link is followed), then renamed
    // over the path: the rename replaces whatever stands there in one step, a link itself and
    // never its target.
    std::string temporary = path + ".XXXXXX";
    util::unique_fd file(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!file) {
        logFailure("open", errno);
        return -1;
    }
    const char* failed = nullptr;
    if (!util::writeAll(file.get(), std::to_string(port))) {
        failed = "write";
    } else if (::fchmod(file.get(), 0674) != 0) {
        failed = "fchmod";
    } else if (!renameOverPlanted(temporary, path)) {
        failed = "rename";
    }
    if (failed == nullptr) return 0;
    logFailure(failed, errno);
    ::unlink(temporary.c_str());
    return -1;
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
    if (::listen(listener.get(), listenBacklog) != 0) {
        logFailure("listen", errno);
        return -1;
    }
    logMessage(levelInfo, "Socket listening, start loop");
    const int savedFlags = ::fcntl(listener.get(), F_GETFL);
    modes::SetAsDisconnected();

    // The connections' threads are never joined: what they share outlives this function,
    // which returns only for the process to end.
    static util::NoDestructor<Launcher> launcher;
    static util::NoDestructor<Operations> operations(daemonOperations(launcher.get()));
    static util::NoDestructor<OpenConnections> open;
    std::chrono::milliseconds acceptPause{0};
    for (;;) {
        ::fcntl(listener.get(), F_SETFL, savedFlags);
        logMessage(levelInfo, "Call accept()");
        util::unique_fd client;
        if (!acceptClient(listener.get(), client, acceptPause)) return -1;
        if (!client) continue;
        ::fcntl(listener.get(), F_SETFL, savedFlags | O_NONBLOCK);
        logMessage(levelInfo,
                   "Client connected, waiting for OpenVpn information from the telvor client");
        const std::optional<SocketEntry> end = clientEnd(client.get(), acceptPause);
        if (end) startServing(std::move(client), *end, open.get(), operations.get());
    }
}

}  // namespace control
