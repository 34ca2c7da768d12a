#pragma once

// Who may change what the daemon does. By default every local user may, as on a laptop with
// one user. On a shared host the administrator names a group in "controlgroup="; then only
// root and that group's members may send keywords that change anything, and everyone else may
// only ask for the mode.

#include <sys/types.h>

#include <string>

namespace control {

// Takes the group named in the configuration, once at start, and logs what it means: empty
// leaves the daemon to every user, a group that does not exist to root alone.
void setControlGroup(const std::string& name);

// Whether the user `uid` may send keywords that change anything: root always, anyone while no
// group is named, otherwise members of the group by the user's primary and supplementary
// groups.
bool mayChange(uid_t uid);

}  // namespace control
