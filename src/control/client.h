#pragma once

#include <sys/types.h>

namespace control {

// One client connection of the control loop, and who owns it. Everything the daemon does for
// a client is done for this owner: a launch reads files with the owner's rights, and the path
// it starts must come from a connection of the same owner.
struct Client {
    int socket = -1;
    uid_t uid = 0;  // the user that owns the client's end of the connection
    // Whether the owner may send keywords that change anything (see access.h); decided once,
    // when the connection is accepted.
    bool mayChange = true;
};

}  // namespace control
