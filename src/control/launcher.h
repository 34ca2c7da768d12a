#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "control/client.h"
#include "control/dispatch.h"
#include "control/frame.h"

namespace control {

inline constexpr const char* statusMsgOpenVpnStarted = "true";
inline constexpr const char* statusMsgOpenVpnFailed = "false";

// What the configuration file says about launches; set once at start.
struct LaunchSettings {
    std::vector<std::string> openVpnPrograms;  // programs besides files named "openvpn"
    std::vector<std::string> openVpnConfigDirs = {"/etc/openvpn"};
};
LaunchSettings& launchSettings();

// Starts OpenVPN on the client's behalf and watches it. Owned by the control loop: the path
// stays in force from one client connection to the next, together with the user whose
// connection sent it, and only a command line from that same user starts it.
class Launcher {
  public:
    // "path:" handling.
    void receivePath(const Frame& frame, const Client& client);
    // "commandline:" handling: launches the program and replies on the client connection.
    Outcome launch(std::string_view commandLine, const Client& client);

    const std::optional<std::string>& openVpnPath() const { return openVpnPath_; }

  private:
    bool start(std::vector<std::string>& words, const std::string& program, const Client& client);

    std::optional<std::string> openVpnPath_;
    uid_t pathOwner_ = 0;
    unsigned launches_ = 0;
};

// The number of spaces in the command line.
unsigned countArgs(std::string_view commandLine);
// The words of a command line: runs of spaces separate them, and no word is empty.
std::vector<std::string> tokenizeCommandLine(std::string_view commandLine);

// The working directory derived from an OpenVPN path: the path without its last eight
// characters when it names "openvpn" anywhere, none otherwise (and none when the path is too
// short to yield one).
std::optional<std::string> workingDirectoryFor(std::string_view path);

// The OpenVPN child of the latest launch while it runs; the caller holds the state lock.
std::optional<pid_t> OpenVpnPid();

// Sends a whole reply frame holding `text`.
void sendReply(int client, std::string_view text);

}  // namespace control
