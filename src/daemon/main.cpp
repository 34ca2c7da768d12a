// telvord: the privileged companion daemon of the desktop VPN client.
//
// Started by the service manager as root; takes no arguments and reads no environment.

#include <cstdlib>

#include "control/access.h"
#include "control/caller_files.h"
#include "control/launcher.h"
#include "control/listener.h"
#include "core/config.h"
#include "core/log.h"
#include "core/paths.h"
#include "dns/resolver.h"
#include "modes/modes.h"
#include "routing/routing.h"

namespace {

constexpr const char* separator = "=============================================";

}  // namespace

int main() {
    using core::levelInfo;
    using core::logMessage;

    modes::InitRoutingVariables();
    dns::InitializeDnsVariables();
    core::syslogInit();
    const core::Configuration configuration = core::readConfiguration();
    if (configuration.debugLogging) {
        const char* path = core::paths().debugLogFile.c_str();
        if (core::logOpen(path) == 0) {
            logMessage(levelInfo, "Debug log %s opened", path);
        } else {
            logMessage(core::levelWarning, "Failed to open debug log file %s", path);
        }
        logMessage(levelInfo, "%s", separator);
    }
    routing::SetLanScope(configuration.lan);
    modes::ResumeAtStart(configuration.lockdown);
    control::launchSettings().openVpnPrograms = configuration.openVpnPrograms;
    control::launchSettings().openVpnConfigDirs = configuration.openVpnConfigDirs;
    control::launchSettings().openVpnUser = configuration.openVpnUser;
    control::launchSettings().openVpnAccount =
        control::findOpenVpnAccount(configuration.openVpnUser);
    control::removeLeftoverCopies();
    control::setControlGroup(configuration.controlGroup);
    if (configuration.startupOpenVpn && control::startWorkerLoop() < 0) {
        // The control loop failed: end at once, without the closing messages.
        std::_Exit(1);
    }
    logMessage(levelInfo, "%s", separator);
    logMessage(levelInfo, "TELVOR client daemon exiting");
    core::logClose();
    core::syslogClose();
    return 0;
}
