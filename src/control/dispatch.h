#pragma once

#include <functional>
#include <span>
#include <string_view>

#include "control/client.h"
#include "control/frame.h"

namespace control {

class Launcher;

enum class Outcome {
    NextFrame,  // read the next frame of this client
    EndClient   // close this client's connection
};

// Who may send a keyword.
enum class Access {
    Read,   // anyone: it changes nothing
    Change  // only a client that may change what the daemon does (Client::mayChange)
};

// A refused keyword is answered with a reply frame holding this text and the keyword, as in
// "refused:disablelockdown:". Only a client that may not change what the daemon does is ever
// refused, and only while "controlgroup=" names a group, so a client that expects no reply
// meets none in the default configuration.
inline constexpr std::string_view refusalReply = "refused:";

// What the keywords call. The daemon binds them to the connection handlers, the resolver
// operations and the launcher; tests and fuzzers bind recorders.
struct Operations {
    std::function<void(const Frame&, const Client&)> path;
    std::function<Outcome(std::string_view commandLine, const Client&)> commandLine;
    std::function<void()> connectionClosed;
    std::function<void()> enableForcedMode;
    std::function<void()> disableForcedMode;
    std::function<void()> enableLockdown;
    std::function<void()> disableLockdown;
    std::function<void()> prepareForTunnel;
    std::function<void()> connectionFailed;
    std::function<void()> connectionSuccessful;
    std::function<void(std::string_view)> connectionSuccessful4;
    std::function<void(std::string_view)> connectionSuccessful6;
    std::function<void(std::string_view)> setServerAddress;
    std::function<void(std::string_view)> setServerAddress6;
    std::function<void(std::string_view)> addDnsAddress;
    std::function<void(std::string_view)> addDnsAddress6;
    std::function<void(std::string_view)> replaceDns;
    std::function<void()> resetDns;
    std::function<void()> initializeDnsVariables;
    // "status:": replies with the status frame; changes nothing.
    std::function<void(const Client&)> status;
    // Answers a keyword the client may not send.
    std::function<void(const Client&, std::string_view keyword)> refuse;
};

struct Keyword {
    std::string_view word;       // compared byte for byte, colon included
    std::size_t argumentOffset;  // where the argument starts; unused for keywords without one
    const char* infoLine;        // logged before the action; null where the action logs itself
    Access access;
    Outcome (*act)(Operations&, const Frame&, std::string_view argument, const Client&);
};

// The keyword table in the order in which every frame is tested.
std::span<const Keyword> keywords();

// Tests the frame against every keyword in table order and runs each that matches, or refuses
// it when the client may not send it.
Outcome dispatchFrame(const Frame& frame, const Client& client, Operations& operations);

// The operations of the running daemon.
Operations daemonOperations(Launcher& launcher);

}  // namespace control
