#include "control/dispatch.h"

#include <array>
#include <cstring>

#include "control/launcher.h"
#include "control/status.h"
#include "core/log.h"
#include "modes/modes.h"

namespace control {
namespace {

using Ops = Operations;
using Arg = std::string_view;
using C = Client;

Outcome call(const std::function<void()>& f) {
    f();
    return Outcome::NextFrame;
}

Outcome call(const std::function<void(std::string_view)>& f, Arg argument) {
    f(argument);
    return Outcome::NextFrame;
}

// Keywords with an argument read it from the byte after their colon, except "path:" and
// "commandline:", which skip one separator byte.
constexpr std::array<Keyword, 20> table{{
    {"path:", 6, nullptr, Access::Change,
     [](Ops& o, const Frame& f, Arg, const C& client) {
         o.path(f, client);
         return Outcome::NextFrame;
     }},
    {"commandline:", 13, nullptr, Access::Change,
     [](Ops& o, const Frame&, Arg a, const C& client) { return o.commandLine(a, client); }},
    {"clientshutdown:", 0, "Client sent shutdown message", Access::Change,
     [](Ops& o, const Frame&, Arg, const C&) {
         o.connectionClosed();
         return Outcome::EndClient;
     }},
    {"enableforced:", 0, "Enabling forced mode", Access::Change,
     [](Ops& o, const Frame&, Arg, const C&) { return call(o.enableForcedMode); }},
    {"disableforced:", 0, "Disabling forced mode", Access::Change,
     [](Ops& o, const Frame&, Arg, const C&) { return call(o.disableForcedMode); }},
    {"enablelockdown:", 0, "Enabling lockdown", Access::Change,
     [](Ops& o, const Frame&, Arg, const C&) { return call(o.enableLockdown); }},
    {"disablelockdown:", 0, "Disabling lockdown", Access::Change,
     [](Ops& o, const Frame&, Arg, const C&) { return call(o.disableLockdown); }},
    {"prepareforconnect:", 0, "Preparing to connect", Access::Change,
     [](Ops& o, const Frame&, Arg, const C&) { return call(o.prepareForTunnel); }},
    {"connectionfailed:", 0, "Connection failed", Access::Change,
     [](Ops& o, const Frame&, Arg, const C&) { return call(o.connectionFailed); }},
    {"connectionsuccesful:", 0, "Connection successful", Access::Change,
     [](Ops& o, const Frame&, Arg, const C&) { return call(o.connectionSuccessful); }},
    {"connectionsuccesful4:", 21, "Connection successful (IPv4)", Access::Change,
     [](Ops& o, const Frame&, Arg a, const C&) { return call(o.connectionSuccessful4, a); }},
    {"connectionsuccesful6:", 21, "Connection successful (IPv6)", Access::Change,
     [](Ops& o, const Frame&, Arg a, const C&) { return call(o.connectionSuccessful6, a); }},
    {"connectionclosed:", 0, "Connection closed", Access::Change,
     [](Ops& o, const Frame&, Arg, const C&) { return call(o.connectionClosed); }},
    {"serveraddress:", 14, "Received server address for IPv4", Access::Change,
     [](Ops& o, const Frame&, Arg a, const C&) { return call(o.setServerAddress, a); }},
    {"serveraddress6:", 15, "Received server address for IPv6", Access::Change,
     [](Ops& o, const Frame&, Arg a, const C&) { return call(o.setServerAddress6, a); }},
    {"dnsaddress:", 11, "Adding DNS route (IPv4)", Access::Change,
     [](Ops& o, const Frame&, Arg a, const C&) { return call(o.addDnsAddress, a); }},
    {"dnsaddress6:", 12, "Adding DNS route (IPv6)", Access::Change,
     [](Ops& o, const Frame&, Arg a, const C&) { return call(o.addDnsAddress6, a); }},
    {"replacedns:", 11, "Replacing DNS server", Access::Change,
     [](Ops& o, const Frame&, Arg a, const C&) { return call(o.replaceDns, a); }},
    {"restoredns:", 0, "Restoring DNS server", Access::Change,
     [](Ops& o, const Frame&, Arg, const C&) {
         // No other connection's command comes between the two.
         modes::StateGuard guard;
         o.resetDns();
         return call(o.initializeDnsVariables);
     }},
    {"status:", 0, "Status requested", Access::Read,
     [](Ops& o, const Frame&, Arg, const C& client) {
         o.status(client);
         return Outcome::NextFrame;
     }},
}};

bool matches(const Frame& frame, std::string_view word) {
    return std::memcmp(frame.bytes.data(), word.data(), word.size()) == 0;
}

}  // namespace

std::span<const Keyword> keywords() {
    return table;
}

Outcome dispatchFrame(const Frame& frame, const Client& client, Operations& operations) {
    // Every keyword is tested on its own; keywords end in a colon and none is the prefix of
    // another, so at most one matches.
    for (const Keyword& keyword : table) {
        if (!matches(frame, keyword.word)) continue;
        if (keyword.access == Access::Change && !client.mayChange) {
            const std::string word(keyword.word);
            core::logMessage(core::levelError,
                             "Refusing %s from uid %u: only root and the control group may send it",
                             word.c_str(), static_cast<unsigned>(client.uid));
            operations.refuse(client, keyword.word);
            continue;
        }
        if (keyword.infoLine != nullptr) core::logMessage(core::levelInfo, "%s", keyword.infoLine);
        const Outcome outcome =
            keyword.act(operations, frame, frame.text(keyword.argumentOffset), client);
        if (outcome != Outcome::NextFrame) return outcome;
    }
    return Outcome::NextFrame;
}

Operations daemonOperations(Launcher& launcher) {
    // The resolver operations are handlers too: serialised with the others, which restore the
    // resolver file when a connection closes, and recorded like them.
    return Operations{
        .path = [&launcher](const Frame& frame,
                            const Client& client) { launcher.receivePath(frame, client); },
        .commandLine = [&launcher](
                           std::string_view commandLine,
                           const Client& client) { return launcher.launch(commandLine, client); },
        .connectionClosed = modes::ConnectionClosed,
        .enableForcedMode = modes::EnableForcedMode,
        .disableForcedMode = modes::DisableForcedMode,
        .enableLockdown = modes::EnableLockdown,
        .disableLockdown = modes::DisableLockdown,
        .prepareForTunnel = modes::PrepareForTunnel,
        .connectionFailed = modes::ConnectionFailed,
        .connectionSuccessful = modes::ConnectionSuccessful,
        .connectionSuccessful4 = modes::ConnectionSuccessful4,
        .connectionSuccessful6 = modes::ConnectionSuccessful6,
        .setServerAddress = [](std::string_view a) { modes::SetServerAddress(a); },
        .setServerAddress6 = [](std::string_view a) { modes::SetServerAddress6(a); },
        .addDnsAddress = [](std::string_view a) { modes::AddDnsAddress(a); },
        .addDnsAddress6 = [](std::string_view a) { modes::AddDnsAddress6(a); },
        .replaceDns = modes::ReplaceDns,
        .resetDns = modes::ResetDns,
        .initializeDnsVariables = modes::InitializeDnsVariables,
        .status =
            [](const Client& client) {
                std::string text;
                {
                    modes::StateGuard guard;
                    text = client.mayChange ? formatStatus(currentStatus())
                                            : formatReducedStatus(currentModeStatus());
                }
                sendReply(client.socket, text);
            },
        .refuse =
            [](const Client& client, std::string_view keyword) {
                sendReply(client.socket, std::string(refusalReply).append(keyword));
            },
    };
}

}  // namespace control
