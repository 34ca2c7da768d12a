#pragma once

// Who may drive the daemon. OpenVPN runs as root, and a user can have it connect anywhere: to a
// proxy, a management client, a server. Were such a connection to the control port served, the
// bytes OpenVPN sends there on the user's behalf (a proxy request padded so that a frame
// begins inside it) would count as root's commands. So a connection whose client end was made
// by the daemon or by any process it started is refused right after accept, and so is one
// whose maker cannot be told.

#include <sys/types.h>

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "control/client.h"

namespace control {

// A process as /proc shows it, seen from one client socket.
struct ProcessEntry {
    pid_t pid = 0;
    pid_t parent = 0;
    bool examined = false;     // whether its descriptors could be read
    bool holdsSocket = false;  // whether one of them is the client's socket
};

struct Admission {
    bool admitted = false;
    std::string refusal;  // why not
};

// Judges a connection by the processes that hold its client socket: admitted only when some
// process holds it and none of them is `daemon` or a descendant of it, and when every
// descendant could be examined.
Admission judgeHolders(std::span<const ProcessEntry> processes, pid_t daemon);

// Every process of /proc with its parent and whether it holds the socket `inode`; none when
// /proc cannot be listed.
std::optional<std::vector<ProcessEntry>> readProcessTable(ino_t inode);

// What becomes of an accepted connection.
struct ClientAdmission {
    std::optional<Client> client;  // set when it is served
    int shortage = 0;  // the error number when descriptors or memory ran out: decide again later
};

// Decides whether an accepted connection is served, with an audit line either way. A client
// socket made in a control group other than the daemon's (the group of its listening socket,
// which the daemon's end of the connection carries) was made by none of its descendants,
// which never leave the daemon's group; any other is judged by the processes that hold it.
ClientAdmission admitClient(int connection);

}  // namespace control
