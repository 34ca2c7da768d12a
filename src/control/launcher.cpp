#include "control/launcher.h"

#include <sys/socket.h>

#include <algorithm>
#include <array>

#include "core/log.h"

namespace control {

using core::levelError;
using core::levelInfo;
using core::logMessage;

unsigned countArgs(std::string_view commandLine) {
    return static_cast<unsigned>(std::count(commandLine.begin(), commandLine.end(), ' '));
}

std::vector<std::string> tokenizeCommandLine(std::string_view commandLine) {
    std::vector<std::string> words;
    std::size_t position = 0;
    while (position < commandLine.size()) {
        const std::size_t start = commandLine.find_first_not_of(' ', position);
        if (start == std::string_view::npos) break;
        const std::size_t end = std::min(commandLine.find(' ', start), commandLine.size());
        words.emplace_back(commandLine.substr(start, end - start));
        position = end;
    }
    return words;
}

std::optional<std::string> workingDirectoryFor(std::string_view path) {
    constexpr std::string_view program = "openvpn";
    if (path.find(program) == std::string_view::npos) return std::nullopt;
    // The program name and the separator before it.
    if (path.size() <= program.size() + 1) return std::nullopt;
    return std::string(path.substr(0, path.size() - program.size() - 1));
}

void sendReply(int client, std::string_view text) {
    std::array<char, frameSize> reply{};
    std::copy_n(text.begin(), std::min(text.size(), reply.size() - 1), reply.begin());
    std::size_t sent = 0;
    while (sent < reply.size()) {
        // MSG_NOSIGNAL: a client that went away must not end the daemon with SIGPIPE.
        const ssize_t count =
            ::send(client, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
        if (count <= 0) break;
        sent += static_cast<std::size_t>(count);
    }
}

void Launcher::receivePath(const Frame& frame) {
    // A frame of fewer than six bytes yields an empty path.
    const std::size_t length = frame.received > 6 ? frame.received - 6 : 0;
    const std::string_view text = frame.text(6);
    openVpnPath_ = std::string(text.substr(0, std::min(length, text.size())));
    logMessage(levelInfo, "Openvpn path received from the client; %s", openVpnPath_->c_str());
}

Outcome Launcher::launch(std::string_view commandLine, int client) {
    const std::string line(commandLine);
    logMessage(levelInfo, "Openvpn command line received from the client; %s", line.c_str());
    const std::vector<std::string> words = tokenizeCommandLine(commandLine);
    for (std::size_t i = 0; i < words.size(); ++i) {
        logMessage(levelInfo, "param[%zu] = %s", i, words[i].c_str());
    }
    logMessage(levelInfo, "Start OpenVpn");
    logMessage(levelError, "OpenVpn not started");
    sendReply(client, statusMsgOpenVpnFailed);
    return Outcome::NextFrame;
}

}  // namespace control
