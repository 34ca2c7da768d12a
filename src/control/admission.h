#pragma once

// Who may drive the daemon, and as whom. OpenVPN runs as root, and a user can have it connect
// anywhere: to a proxy, a management client, a server. Were such a connection to the control
// port served, the bytes OpenVPN sends there on the user's behalf (a proxy request padded so
// that a frame begins inside it) would count as root's commands. So a connection whose client
// end was made by the daemon or by any process it started is refused, and so is one whose
// maker cannot be told.
//
// A socket records the user that made it as the kernel's uid, which for a process in a user
// namespace is the uid the namespace maps to: one of its owner's subordinate range
// (/etc/subuid, 100000 and up), handed out for just that. Such a connection counts as the
// owner of the range, who owns the namespaces that may map to it, nested ones included: it
// may neither pose as an account of that uid nor take the connections of several users.

#include <sys/types.h>

#include <array>
#include <chrono>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "control/audit.h"
#include "control/client.h"

namespace control {

// A process as /proc shows it, seen from one client socket.
struct ProcessEntry {
    pid_t pid = 0;
    pid_t parent = 0;
    bool examined = false;        // whether its descriptors were read
    bool holdsSocket = false;     // whether one of them is the client's socket
    std::array<uid_t, 4> uids{};  // its real, effective, saved and file-system uids
};

struct Admission {
    bool admitted = false;
    std::string refusal;  // why not
};

// Judges a connection by the processes that hold its client socket: admitted only when some
// process holds it and none of them is `daemon` or a descendant of it, and when every
// descendant could be examined.
Admission judgeHolders(std::span<const ProcessEntry> processes, pid_t daemon);

// What the process table is read for.
struct HolderSearch {
    ino_t inode = 0;      // the client's socket
    uid_t socketUid = 0;  // the user the kernel records as its maker
    pid_t daemon = 0;
    std::chrono::steady_clock::time_point deadline;
};

// Every process of /proc with its parent and uids. Descriptors are read of the daemon's
// descendants, all of them, and then of the others until one is found to hold the socket:
// first the processes that run as the socket's user, then root's, then the rest, so that a
// user who holds many descriptors slows only the look at their own connections. None when
// /proc cannot be listed, or past the deadline (errno ETIMEDOUT).
std::optional<std::vector<ProcessEntry>> readProcessTable(const HolderSearch& search);

// One line of /etc/subuid: `owner` (a name, or a uid in digits) may map `count` uids from
// `start` into its user namespaces.
struct SubordinateRange {
    std::string owner;
    uid_t start = 0, count = 0;
};
// The ranges of an /etc/subuid text; lines that are not "owner:start:count" are left out.
std::vector<SubordinateRange> parseSubordinateRanges(std::string_view text);

struct Ownership {
    std::optional<uid_t> owner;  // as whom the connection counts; none when refused
    std::string refusal;
};
// As whom a connection counts whose socket the kernel records as made by `uid`: that uid,
// unless it lies in a user's subordinate range, where it counts as that user. Refused where
// the two readings could differ: a uid that is an account of its own or lies in the ranges of
// several users. Root's ranges (of containers root made) leave a uid as it is. `userId` turns
// a range's owner into a uid, `isAccount` tells whether a uid is an account of the host.
Ownership ownerOf(uid_t uid, std::span<const SubordinateRange> ranges,
                  const std::function<std::optional<uid_t>(const std::string&)>& userId,
                  const std::function<bool(uid_t)>& isAccount);

// What becomes of an accepted connection.
struct ClientAdmission {
    std::optional<Client> client;  // set when it is served
    int shortage = 0;     // the error number when descriptors or memory ran out: decide again later
    std::string refusal;  // why it is refused, for the refusal the client is told
};

// Decides whether the accepted connection, whose client end the kernel shows as `end`, is
// served, and as whom, with an audit line either way. A client socket made in a control group
// other than the daemon's (the group of its listening socket, which the daemon's end of the
// connection carries) was made by none of its descendants, which never leave the daemon's
// group; any other is judged by the processes that hold it. Runs on the connection's own
// thread: the look at /proc may take long.
ClientAdmission admitClient(int connection, const SocketEntry& end);

// Whether an error says only that the daemon or the host ran short of descriptors or memory,
// which any local user can cause: nothing about the client.
bool resourceShortage(int error);

// How long the look at /proc for one connection may take.
inline constexpr std::chrono::seconds admissionDeadline{2};

}  // namespace control
