#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "control/client.h"
#include "control/dispatch.h"
#include "control/frame.h"

namespace control {

inline constexpr const char* statusMsgOpenVpnStarted = "true";
inline constexpr const char* statusMsgOpenVpnFailed = "false";

// The account OpenVPN runs as once its tunnel is made, by name, as its --user and --group take
// it.
struct OpenVpnAccount {
    std::string user, group;
    bool fallback = false;  // the configured account does not exist: nobody's stands in
};

// The account `user` with its primary group. Where it does not exist (a daemon run from a
// build tree), nobody with nogroup (or nobody's own group), which the first launch warns of;
// none where nobody does not exist either.
std::optional<OpenVpnAccount> findOpenVpnAccount(const std::string& user);

// What the configuration file says about launches; set once at start.
struct LaunchSettings {
    std::vector<std::string> openVpnPrograms;  // programs besides files named "openvpn"
    std::vector<std::string> openVpnConfigDirs = {"/etc/openvpn"};
    // The account openvpnuser= names, and what stands for it: none when neither it nor nobody
    // exists, and every launch is refused.
    std::string openVpnUser = "telvord-openvpn";
    std::optional<OpenVpnAccount> openVpnAccount;
};
LaunchSettings& launchSettings();

// The options the daemon adds to every launch, after the client's, which may give none of
// them: the socket mark by which the egress guard and the kill switch's rules know OpenVPN's
// own packets, the account it runs as once the tunnel is made, and the tunnel device and keys
// kept across its own restarts, which it could no longer make or read as that account.
std::vector<std::string> daemonOptions(const OpenVpnAccount& account);

// How many users' paths the launcher keeps; the path of the user who sent one longest ago
// goes first.
inline constexpr std::size_t maxPathOwners = 64;

// Starts OpenVPN on the client's behalf and watches it. Owned by the control loop and shared
// by every connection: each user's path stays in force from one of their connections to the
// next, and only a command line from that same user starts it, so that users connected at the
// same time never start each other's.
class Launcher {
  public:
    // "path:" handling.
    void receivePath(const Frame& frame, const Client& client);
    // "commandline:" handling: launches the program and replies on the client connection.
    Outcome launch(std::string_view commandLine, const Client& client);

    // The path that `uid` sent last, if the launcher still keeps it.
    std::optional<std::string> openVpnPath(uid_t uid) const;

  private:
    bool start(std::vector<std::string>& words, const std::string& program, const Client& client);

    // Guards paths_: held only to copy a path in or out.
    mutable std::mutex pathsLock_;
    std::vector<std::pair<uid_t, std::string>> paths_;  // by user, the latest sent last
    // One launch at a time from its fork to its process watcher: the generation it takes must
    // be the latest until the launch has started its watcher or given the generation back.
    std::mutex launching_;
    std::atomic<unsigned> launches_ = 0;  // numbers each launch's private copies
};

// The number of spaces in the command line.
unsigned countArgs(std::string_view commandLine);
// The words of a command line: runs of spaces separate them, and no word is empty.
std::vector<std::string> tokenizeCommandLine(std::string_view commandLine);

// The working directory derived from an OpenVPN path: the path without its last eight
// characters when it names "openvpn" anywhere, none otherwise (and none when the path is too
// short to yield one).
std::optional<std::string> workingDirectoryFor(std::string_view path);

// Sends a whole reply frame holding `text`.
void sendReply(int client, std::string_view text);

}  // namespace control
