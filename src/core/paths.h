#pragma once

#include <string>
#include <vector>

namespace core {

// Every file the daemon touches. The defaults are the system's fixed paths; the daemon itself
// never changes them. Unit tests point them at a temporary directory.
struct Paths {
    std::string configFile = "/etc/telvor.clientd.conf";
    std::string debugLogFile = "/var/log/telvor.clientd.log";
    std::string portFile = "/var/tmp/telvor.clientd.port";
    std::string resolverFile = "/etc/resolv.conf";
    std::string resolverBackup = "/etc/resolv.conf.telvord";
    std::string procNetRoute = "/proc/net/route";
    // Where systemd-resolved is reached.
    std::string systemBusSocket = "/run/dbus/system_bus_socket";
    // Where the launcher keeps the checked copies of OpenVPN configuration files.
    std::string runtimeDirectory = "/run/telvord";
    // What a restart needs of the daemon's memory (routing/state_file.h). Beside it, while it
    // is written, "state.XXXXXX"; a file that could not be read is set aside as
    // "state.unreadable".
    std::string stateFile = "/run/telvord/state";
    // The subordinate uid ranges of users, which their user namespaces map to.
    std::string subordinateUids = "/etc/subuid";
    // The `route` program counts as installed when either of these exists.
    std::vector<std::string> routePrograms = {"/sbin/route", "/usr/bin/route"};
};

Paths& paths();

}  // namespace core
