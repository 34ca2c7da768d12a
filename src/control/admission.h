#pragma once

// Who may drive the daemon, and as whom. OpenVPN runs as root, and a user can have it connect
// anywhere: to a proxy, a management client, a server. Were such a connection to the control
// port served, the bytes OpenVPN sends there on the user's behalf (a proxy request padded so
// that a frame begins inside it) would count as root's commands. So a connection whose client
// end was made by the daemon or by any process it started is refused, and so is one whose
// maker cannot be told.
//
// A socket records the user that made it as the kernel's uid, which for a process in a user
// namespace is the uid its namespace maps to (100000 and up for a user's subordinate range).
// Such a connection counts as the user who owns the outermost namespace above its maker: it
// is that user's, whatever uid the mapping gave it, and may neither pose as the account of
// that uid nor take the connections of several users.

#include <sys/types.h>

#include <array>
#include <chrono>
#include <optional>
#include <span>
#include <string>
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
    // Set for a process in a user namespace other than the initial one: the user who owns the
    // outermost namespace above it, none when that cannot be told.
    bool foreignNamespace = false;
    std::optional<uid_t> namespaceOwner;
};

struct Admission {
    bool admitted = false;
    std::string refusal;  // why not
    uid_t owner = 0;      // as whom it is served
};

// Judges a connection whose socket the kernel records as made by `socketUid`, by the
// processes that hold it. Refused when the daemon or a descendant of it holds it, or when a
// descendant could not be examined (both looked at only with `descendants`). Served as
// `socketUid` when a process of the initial user namespace that runs as that user holds it;
// `socketUid` too when a root process of that namespace holds it (root may make a socket as
// anyone); otherwise as the one owner of the namespaces of the processes that hold it;
// refused when there is none, or more than one.
Admission judgeHolders(std::span<const ProcessEntry> processes, pid_t daemon, uid_t socketUid,
                       bool descendants);

// What the process table is read for.
struct HolderSearch {
    ino_t inode = 0;      // the client's socket
    uid_t socketUid = 0;  // the user the kernel records as its maker
    pid_t daemon = 0;
    bool descendants = true;  // whether the daemon's descendants are to be examined
    std::chrono::steady_clock::time_point deadline;
};

// Every process of /proc with its parent, its uids and its user namespace. Descriptors are
// read only where they can matter: of the daemon's descendants, of the processes of the
// initial user namespace that run as the socket's user, and only while none of those holds
// it, of root's processes, and then of processes in other user namespaces. None when /proc cannot
// be listed, or past the deadline (errno ETIMEDOUT): a user who holds many descriptors slows only
// the look at their own connections.
std::optional<std::vector<ProcessEntry>> readProcessTable(const HolderSearch& search);

// What becomes of an accepted connection.
struct ClientAdmission {
    std::optional<Client> client;  // set when it is served
    int shortage = 0;     // the error number when descriptors or memory ran out: decide again later
    std::string refusal;  // why it is refused, for a refusal the client is told
};

// Decides whether the accepted connection, whose client end the kernel shows as `end`, is
// served, and as whom, with an audit line either way. A client socket made in a control group
// other than the daemon's (the group of its listening socket, which the daemon's end of the
// connection carries) was made by none of its descendants, which never leave the daemon's
// group; every socket is judged by who holds it. Runs on the connection's own thread: the
// look at /proc may take long.
ClientAdmission admitClient(int connection, const SocketEntry& end);

// Whether an error says only that the daemon or the host ran short of descriptors or memory,
// which any local user can cause: nothing about the client.
bool resourceShortage(int error);

// How long the look at /proc for one connection may take.
inline constexpr std::chrono::seconds admissionDeadline{2};

}  // namespace control
