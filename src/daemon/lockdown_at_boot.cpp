// telvord-lockdown: lockdown before the network. Run once at boot by telvord-lockdown.service,
// before any interface is configured. With lockdown=true in the configuration it puts the kill
// switch's rules and the egress guard's table in place as lockdown holds them while no network
// and no VPN server are known yet (the guard lets the LAN of the addresses there are, DHCP and
// neighbour discovery pass), and ends; the daemon takes both up as they stand when it starts.
// With lockdown=false, or once the daemon has run in this boot, it does nothing. Like the
// daemon it takes no arguments and reads no environment.

#include <syslog.h>
#include <unistd.h>

#include "core/config.h"
#include "core/log.h"
#include "core/paths.h"
#include "guard/guard.h"
#include "routing/kill_switch.h"
#include "routing/routing.h"

int main() {
    // Once the daemon has run in this boot (its runtime directory, which only a boot empties,
    // is there), what holds is the daemon's business: a package installed or upgraded on a
    // running host must not lock down a host whose user left lockdown.
    if (::access(core::paths().runtimeDirectory.c_str(), F_OK) == 0) return 0;
    ::openlog(core::sysLogId, 0, LOG_USER);
    const core::Configuration configuration = core::readConfiguration();
    if (!configuration.lockdown) return 0;
    core::logMessage(core::levelInfo,
                     "Lockdown before the network: putting the kill switch's rules and the "
                     "packet filter guard in place");
    routing::InstallKillSwitch();
    const bool guarded = guard::Put(guard::Intent{.lan = configuration.lan});
    // A kernel without policy routing has been warned of: the guard holds alone then.
    const bool rules = routing::killSwitchInPlace(AF_INET).value_or(true);
    core::syslogClose();
    return guarded && rules ? 0 : 1;
}
