#pragma once

// The control protocol as a client speaks it: one fixed-size frame per command, a reply frame
// for "commandline:" and "status:", and one for any command the daemon refuses.

#include <array>
#include <chrono>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "util/unique_fd.h"

namespace telvorctl {

inline constexpr std::size_t frameSize = 4096;
using FrameBytes = std::array<char, frameSize>;

// Exit statuses of telvorctl.
enum ExitStatus : int {
    exitOk = 0,
    exitLaunchFailed = 1,  // the daemon replied "false" to a launch
    exitUsage = 2,
    exitPortFile = 3,           // port file missing, unreadable or malformed
    exitNotRunning = 4,         // nothing listens on the port
    exitConnection = 5,         // the connection failed or dropped
    exitRefused = 6,            // the daemon refused a command: this user may not send it
    exitConnectionRefused = 7,  // the daemon refused the connection: too many are open
};

// The daemon's reply to a command it refuses begins with this text, followed by the keyword.
inline constexpr std::string_view refusalReply = "refused:";
// The keyword a refusal reply names; none for any other reply.
std::optional<std::string> refusedKeyword(std::string_view reply);
// A connection the daemon refuses gets one frame that begins with this text and a newline,
// followed by why, and is closed.
inline constexpr std::string_view connectionRefusal = "refused:connection";
// Why the daemon refused the connection, when `reply` is such a frame's text.
std::optional<std::string> connectionRefused(std::string_view reply);

struct CommandEntry {
    std::string_view name;     // as typed on the command line
    std::string_view keyword;  // as sent, colon included
    bool takesArgument;
    bool separator;  // one separator byte between keyword and argument
    std::string_view help;
};

std::span<const CommandEntry> commandTable();
const CommandEntry* findCommand(std::string_view name);

struct Command {
    const CommandEntry* entry = nullptr;
    std::string argument;
};

// The frame of one command: keyword, argument, NUL fill.
FrameBytes buildFrame(const Command& command);
// A frame holding `text` as it is.
FrameBytes rawFrame(std::string_view text);

// The port as the daemon writes it: decimal digits only, 1 to 65535.
std::optional<int> parsePort(std::string_view text);

struct Error {
    int status;
    std::string message;
};

// One connection to the daemon.
class Connection {
  public:
    static std::optional<Connection> open(int port, Error& error);

    // Bounds every later send and receive: a daemon busy with another client, or one that
    // never replies, ends them with an error instead of blocking for ever.
    void setTimeout(std::chrono::seconds timeout);

    bool send(const FrameBytes& frame, Error& error);
    // Reads one reply frame and returns its text.
    std::optional<std::string> receiveReply(Error& error);
    // Ends the sending side and waits until the daemon closes the connection, which it does
    // after it has handled every frame sent before. What the daemon sent meanwhile is kept in
    // `received` when it is given.
    bool finish(std::chrono::milliseconds timeout, Error& error, std::string* received = nullptr);
    // Turns `error` into the daemon's refusal of the connection when one is waiting to be
    // read: a refused connection is closed, so sends and reads after it fail.
    void explainDrop(Error& error);

    int fd() const { return fd_.get(); }

  private:
    explicit Connection(util::unique_fd fd) : fd_(std::move(fd)) {}
    util::unique_fd fd_;
};

// Reads the port file. On failure sets `error` and returns none.
std::optional<int> readPortFile(const std::string& path, Error& error);

// The "key=value" lines of a status reply, in order.
std::vector<std::pair<std::string, std::string>> statusLines(std::string_view reply);
// A status reply as a short summary for people, and as one JSON object for scripts.
std::string statusSummary(std::string_view reply);
std::string statusJson(std::string_view reply);

// The whole program; returns its exit status.
int run(std::span<const std::string_view> arguments);

}  // namespace telvorctl
