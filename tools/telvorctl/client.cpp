#include "client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <iostream>

namespace telvorctl {
namespace {

constexpr std::string_view defaultPortFile = "/var/tmp/telvor.clientd.port";

constexpr std::array<CommandEntry, 21> table{{
    {"path", "path:", true, true, "PATH        the OpenVPN program to launch"},
    {"commandline", "commandline:", true, true,
     "'ARGS...'   launch it with these words (argv[0] first); prints the reply"},
    {"clientshutdown", "clientshutdown:", false, false,
     "            close the connection (as connectionclosed) and end this session"},
    {"enableforced", "enableforced:", false, false, "            choose forced mode"},
    {"disableforced", "disableforced:", false, false, "            leave forced mode"},
    {"enablelockdown", "enablelockdown:", false, false,
     "            remove the default routes until disablelockdown"},
    {"disablelockdown", "disablelockdown:", false, false,
     "            put the default routes back"},
    {"prepareforconnect", "prepareforconnect:", false, false,
     "            a connection attempt begins"},
    {"connectionfailed", "connectionfailed:", false, false, "            the attempt failed"},
    {"connectionsuccesful", "connectionsuccesful:", false, false,
     "            the tunnel is up (also: connectionsuccessful)"},
    {"connectionsuccesful4", "connectionsuccesful4:", true, false,
     "ADDRESS     the tunnel's IPv4 gateway (also: connectionsuccessful4)"},
    {"connectionsuccesful6", "connectionsuccesful6:", true, false,
     "ADDRESS     the tunnel's IPv6 gateway (also: connectionsuccessful6)"},
    {"connectionclosed", "connectionclosed:", false, false, "            the tunnel is down"},
    {"serveraddress", "serveraddress:", true, false, "ADDRESS     the VPN server's IPv4 address"},
    {"serveraddress6", "serveraddress6:", true, false, "ADDRESS     the VPN server's IPv6 address"},
    {"dnsaddress", "dnsaddress:", true, false, "ADDRESS     an IPv4 DNS server (lockdown)"},
    {"dnsaddress6", "dnsaddress6:", true, false, "ADDRESS     an IPv6 DNS server (lockdown)"},
    {"replacedns", "replacedns:", true, false,
     "ADDRESS     make ADDRESS the only nameserver of /etc/resolv.conf"},
    {"restoredns", "restoredns:", false, false, "            put /etc/resolv.conf back"},
    {"status", "status:", false, false,
     "            print what the daemon holds (with --json: as one JSON object)"},
    {"raw", "", true, false, "TEXT        send TEXT as a frame exactly as given"},
}};

void printUsage(std::ostream& out) {
    out << "Usage: telvorctl [OPTIONS] COMMAND [ARGUMENT] [COMMAND [ARGUMENT]]...\n"
           "\n"
           "Sends commands to the telvord daemon over its loopback control port, all in one\n"
           "connection and in the order given, and waits until the daemon has handled them.\n"
           "\n"
           "Options:\n"
           "  --port N          connect to port N instead of reading the port file\n"
           "  --port-file PATH  read the port from PATH (default "
        << defaultPortFile
        << ")\n"
           "  --timeout SECONDS how long to wait for the daemon (default 30)\n"
           "  --no-wait         do not wait for the daemon to handle the commands\n"
           "  --json            print the answer to status as one JSON object\n"
           "  -h, --help        show this help\n"
           "\n"
           "Commands (a trailing colon is accepted):\n";
    for (const CommandEntry& entry : table) {
        out << "  " << entry.name << std::string(22 - entry.name.size(), ' ') << entry.help << "\n";
    }
    out << "\n"
           "Exit status: 0 done; 1 the daemon refused a launch (\"false\"); 2 usage error;\n"
           "3 port file missing or malformed; 4 daemon not running; 5 connection failed or\n"
           "dropped; 6 the daemon refused a command this user may not send; 7 the daemon\n"
           "refused the connection (this user holds as many as it may).\n"
           "\n"
           "Example: telvorctl enablelockdown serveraddress 198.51.100.7 dnsaddress 192.0.2.53\n";
}

bool readAll(int fd, char* buffer, std::size_t size) {
    while (size > 0) {
        const ssize_t count = ::recv(fd, buffer, size, 0);
        if (count < 0 && errno == EINTR) continue;
        if (count == 0) errno = ECONNRESET;
        if (count <= 0) return false;
        buffer += count;
        size -= static_cast<std::size_t>(count);
    }
    return true;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> statusLines(std::string_view reply) {
    std::vector<std::pair<std::string, std::string>> lines;
    while (!reply.empty()) {
        const std::string_view line = reply.substr(0, reply.find('\n'));
        reply.remove_prefix(std::min(reply.size(), line.size() + 1));
        const std::size_t equals = line.find('=');
        if (equals != std::string_view::npos)
            lines.emplace_back(line.substr(0, equals), line.substr(equals + 1));
    }
    return lines;
}

namespace {

using StatusLines = std::vector<std::pair<std::string, std::string>>;

std::vector<std::string> valuesOf(const StatusLines& lines, std::string_view key) {
    std::vector<std::string> values;
    for (const auto& [k, v] : lines) {
        if (k == key && v != "none") values.push_back(v);
    }
    return values;
}

std::string joined(const std::vector<std::string>& values, const std::string& separator) {
    std::string text;
    for (const std::string& value : values)
        text += (text.empty() ? std::string() : separator) + value;
    return text.empty() ? "none" : text;
}

std::string jsonString(std::string_view text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            quoted += escaped;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

// A value as JSON: yes/no as booleans, none and unknown as null, digits as a number.
std::string jsonValue(const std::string& value) {
    if (value == "yes" || value == "no") return value == "yes" ? "true" : "false";
    if (value == "none" || value == "unknown") return "null";
    if (!value.empty() && value.size() < 10 &&
        std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return value;
    return jsonString(value);
}

// Keys that may stand on several lines; they are arrays in JSON even when empty.
constexpr std::array<std::string_view, 5> listKeys = {"removed4", "removed6", "tunneldev", "dns4",
                                                      "dns6"};

// Whether the reply is the whole status: a user who may not change what the daemon does is
// told the mode and the connection alone.
bool wholeStatus(const StatusLines& lines) {
    return std::any_of(lines.begin(), lines.end(),
                       [](const auto& line) { return line.first == "killswitch"; });
}

}  // namespace

std::string statusSummary(std::string_view reply) {
    const StatusLines lines = statusLines(reply);
    const auto one = [&](std::string_view key) { return joined(valuesOf(lines, key), ", "); };
    const std::string pad(16, ' ');
    std::string text;
    const auto row = [&](const std::string& label, const std::string& value) {
        text +=
            label + std::string(16 - std::min<std::size_t>(15, label.size()), ' ') + value + "\n";
    };
    row("Mode:", one("mode") + (one("connected") == "yes" ? ", connected" : ", not connected"));
    if (!wholeStatus(lines)) return text;
    const std::string rules = one("killswitch");
    row("Kill switch:", rules == "yes"       ? "rules in place"
                        : rules == "no"      ? "no rules"
                        : rules == "partial" ? "PARTIAL: some rules or routes are missing"
                                             : rules);
    const std::string guard = one("guard");
    row("Guard:", guard == "yes"           ? "in place, " + one("refused") + " packets refused"
                  : guard == "missing"     ? "MISSING: its table is gone or changed"
                  : guard == "unavailable" ? "unavailable: the kernel has no nf_tables"
                                           : "not in place");
    const std::string watchers = one("watchers");
    row("Watchers:", watchers == "yes"       ? "listening"
                     : watchers == "stopped" ? "STOPPED: new default routes stay"
                                             : "not running");
    row("Gateways:", "IPv4 " + one("gateway4") + "; IPv6 " + one("gateway6"));
    std::vector<std::string> removed = valuesOf(lines, "removed4");
    for (const std::string& route : valuesOf(lines, "removed6"))
        removed.push_back(route + " (IPv6)");
    row("Removed routes:", joined(removed, "\n" + pad));
    const std::string devices = one("tunneldev");
    row("Tunnel:", "IPv4 " + one("tunnel4") + "; IPv6 " + one("tunnel6") +
                       (devices.empty() ? "" : "; through " + devices));
    row("Server routes:", "IPv4 " + one("server4") + "; IPv6 " + one("server6"));
    row("DNS routes:", "IPv4 " + one("dns4") + "; IPv6 " + one("dns6"));
    row("Resolver file:", one("resolver") == "replaced" ? "replaced by telvord" : "the system's");
    row("OpenVPN:", (one("openvpn") == "none" ? "not running" : "pid " + one("openvpn")) +
                        ", runs as " + one("openvpnuser"));
    row("State file:", one("statefile") == "unsaved"
                           ? "UNSAVED: a restart would not know what telvord holds"
                           : one("statefile"));
    return text;
}

std::string statusJson(std::string_view reply) {
    const StatusLines lines = statusLines(reply);
    std::vector<std::string> keys;
    if (wholeStatus(lines)) keys.assign(listKeys.begin(), listKeys.end());
    for (const auto& [key, value] : lines) {
        if (std::find(keys.begin(), keys.end(), key) == keys.end()) keys.push_back(key);
    }
    std::string text = "{";
    for (const std::string& key : keys) {
        const bool list = std::find(listKeys.begin(), listKeys.end(), key) != listKeys.end();
        std::string value;
        for (const auto& [k, v] : lines) {
            if (k != key) continue;
            if (!list) {
                value = jsonValue(v);
                break;
            }
            value += (value.empty() ? "" : ",") + jsonString(v);
        }
        text += (text.size() > 1 ? "," : "") + jsonString(key) + ":" +
                (list ? "[" + value + "]" : value);
    }
    return text + "}\n";
}

std::optional<std::string> refusedKeyword(std::string_view reply) {
    if (!reply.starts_with(refusalReply) || connectionRefused(reply)) return std::nullopt;
    return std::string(reply.substr(refusalReply.size()));
}

std::optional<std::string> connectionRefused(std::string_view reply) {
    if (!reply.starts_with(connectionRefusal)) return std::nullopt;
    reply.remove_prefix(connectionRefusal.size());
    if (!reply.empty() && reply.front() != '\n') return std::nullopt;
    return std::string(reply.substr(std::min<std::size_t>(1, reply.size())));
}

namespace {

Error refusedConnection(const std::string& why) {
    return {exitConnectionRefused, "telvord refused the connection: " + why};
}

}  // namespace

std::span<const CommandEntry> commandTable() {
    return table;
}

const CommandEntry* findCommand(std::string_view name) {
    if (name.ends_with(':')) name.remove_suffix(1);
    // The protocol's keywords spell "successful" with one s; people may not.
    std::string fixed(name);
    if (const auto at = fixed.find("successful"); at != std::string::npos) fixed.erase(at + 5, 1);
    const auto found = std::find_if(table.begin(), table.end(),
                                    [&](const CommandEntry& entry) { return entry.name == fixed; });
    return found == table.end() ? nullptr : &*found;
}

FrameBytes rawFrame(std::string_view text) {
    FrameBytes frame{};
    std::copy_n(text.begin(), std::min(text.size(), frame.size()), frame.begin());
    return frame;
}

FrameBytes buildFrame(const Command& command) {
    std::string text(command.entry->keyword);
    if (command.entry->separator) text.push_back(' ');
    text.append(command.argument);
    return rawFrame(text);
}

std::optional<int> parsePort(std::string_view text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    if (!std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    int port = 0;
    std::from_chars(text.data(), text.data() + text.size(), port);
    if (port < 1 || port > 65535) return std::nullopt;
    return port;
}

std::optional<int> readPortFile(const std::string& path, Error& error) {
    util::unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        const int e = errno;
        error = {exitPortFile, "cannot read the port file " + path + ": " + std::strerror(e) +
                                   (e == ENOENT ? " (is telvord running?)" : "")};
        return std::nullopt;
    }
    // While the daemon is down anyone may put a file at the path, naming a port of their own
    // where a client would then send its commands. The daemon's file is root's.
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || (st.st_uid != 0 && st.st_uid != ::geteuid())) {
        error = {exitPortFile,
                 "the port file " + path + " is not root's: another user may have put it there"};
        return std::nullopt;
    }
    char buffer[16] = {};
    const ssize_t count = ::read(fd.get(), buffer, sizeof buffer - 1);
    const std::optional<int> port =
        count > 0 ? parsePort(std::string_view(buffer, static_cast<std::size_t>(count)))
                  : std::nullopt;
    if (!port) error = {exitPortFile, "the port file " + path + " does not hold a port number"};
    return port;
}

std::optional<Connection> Connection::open(int port, Error& error) {
    util::unique_fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        error = {exitConnection, std::string("socket: ") + std::strerror(errno)};
        return std::nullopt;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int e = errno;
        if (e == ECONNREFUSED) {
            error = {exitNotRunning, "telvord is not running (nothing listens on 127.0.0.1:" +
                                         std::to_string(port) + ")"};
        } else {
            error = {exitConnection, std::string("connect: ") + std::strerror(e)};
        }
        return std::nullopt;
    }
    return Connection(std::move(fd));
}

void Connection::setTimeout(std::chrono::seconds timeout) {
    const timeval limit{static_cast<time_t>(timeout.count()), 0};
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

bool Connection::send(const FrameBytes& frame, Error& error) {
    std::size_t sent = 0;
    while (sent < frame.size()) {
        const ssize_t count =
            ::send(fd_.get(), frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) {
            error = {exitConnection,
                     std::string("the connection to telvord dropped: ") + std::strerror(errno)};
            return false;
        }
        sent += static_cast<std::size_t>(count);
    }
    return true;
}

std::optional<std::string> Connection::receiveReply(Error& error) {
    FrameBytes reply{};
    if (!readAll(fd_.get(), reply.data(), reply.size())) {
        error = {exitConnection, errno == EAGAIN || errno == EWOULDBLOCK
                                     ? "telvord did not reply in time"
                                     : "the connection to telvord dropped before its reply"};
        return std::nullopt;
    }
    std::string text(reply.data(), strnlen(reply.data(), reply.size()));
    if (const std::optional<std::string> why = connectionRefused(text)) {
        error = refusedConnection(*why);
        return std::nullopt;
    }
    return text;
}

void Connection::explainDrop(Error& error) {
    FrameBytes frame{};
    std::size_t got = 0;
    while (got < frame.size()) {
        const ssize_t count =
            ::recv(fd_.get(), frame.data() + got, frame.size() - got, MSG_DONTWAIT);
        if (count <= 0) break;
        got += static_cast<std::size_t>(count);
    }
    const std::string text(frame.data(), strnlen(frame.data(), got));
    if (const std::optional<std::string> why = connectionRefused(text))
        error = refusedConnection(*why);
}

bool Connection::finish(std::chrono::milliseconds timeout, Error& error, std::string* received) {
    ::shutdown(fd_.get(), SHUT_WR);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char scrap[256];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            error = {exitConnection, "telvord did not finish handling the commands in time"};
            return false;
        }
        pollfd p{fd_.get(), POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        const ssize_t count = ::recv(fd_.get(), scrap, sizeof scrap, 0);
        // A reset is how the daemon closes after "clientshutdown:" when frames remain unread.
        if (count == 0 || (count < 0 && errno == ECONNRESET)) return true;
        if (count > 0 && received != nullptr)
            received->append(scrap, static_cast<std::size_t>(count));
        if (count < 0 && errno != EINTR) {
            error = {exitConnection, std::string("recv: ") + std::strerror(errno)};
            return false;
        }
    }
}

namespace {

// What the command line asks for.
struct Invocation {
    std::optional<int> port;
    std::string portFile{defaultPortFile};
    bool wait = true;
    bool json = false;
    int timeoutSeconds = 30;
    std::vector<Command> commands;
};

// Reads the command line into `invocation`; the exit status when the program ends here (help,
// or a usage error that has been said).
std::optional<int> parseArguments(std::span<const std::string_view> arguments,
                                  Invocation& invocation) {
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string_view argument = arguments[i];
        auto value = [&]() -> std::optional<std::string_view> {
            if (i + 1 >= arguments.size()) return std::nullopt;
            return arguments[++i];
        };
        if (argument == "-h" || argument == "--help") {
            printUsage(std::cout);
            return exitOk;
        }
        if (argument == "--port" || argument == "--port-file" || argument == "--timeout") {
            const auto v = value();
            if (!v) {
                std::cerr << "telvorctl: " << argument << " needs a value\n";
                return exitUsage;
            }
            if (argument == "--port-file") {
                invocation.portFile = std::string(*v);
            } else if (argument == "--port") {
                invocation.port = parsePort(*v);
                if (!invocation.port) {
                    std::cerr << "telvorctl: not a port number: " << *v << "\n";
                    return exitUsage;
                }
            } else {
                const auto seconds = parsePort(*v);
                if (!seconds) {
                    std::cerr << "telvorctl: not a number of seconds: " << *v << "\n";
                    return exitUsage;
                }
                invocation.timeoutSeconds = *seconds;
            }
            continue;
        }
        if (argument == "--no-wait") {
            invocation.wait = false;
            continue;
        }
        if (argument == "--json") {
            invocation.json = true;
            continue;
        }
        const CommandEntry* entry = findCommand(argument);
        if (entry == nullptr) {
            std::cerr << "telvorctl: unknown command: " << argument
                      << " (telvorctl --help lists them)\n";
            return exitUsage;
        }
        Command command{entry, {}};
        if (entry->takesArgument) {
            const auto v = value();
            if (!v) {
                std::cerr << "telvorctl: " << entry->name << " needs an argument\n";
                return exitUsage;
            }
            command.argument = std::string(*v);
        }
        invocation.commands.push_back(std::move(command));
    }
    if (invocation.commands.empty()) {
        printUsage(std::cerr);
        return exitUsage;
    }
    return std::nullopt;
}

// Reads the reply to `keyword`. Refusals of the commands before it come first and are added
// to `refused`; a refusal of `keyword` itself is its reply.
std::optional<std::string> replyTo(Connection& connection, std::string_view keyword,
                                   std::vector<std::string>& refused, Error& error) {
    for (;;) {
        std::optional<std::string> reply = connection.receiveReply(error);
        if (!reply) return std::nullopt;
        std::optional<std::string> word = refusedKeyword(*reply);
        if (!word) return reply;
        refused.push_back(std::move(*word));
        if (refused.back() == keyword) return reply;
    }
}

// The refusals among the whole frames the daemon sent before it closed the connection.
void addRefusals(std::string_view received, std::vector<std::string>& refused) {
    for (; received.size() >= frameSize; received.remove_prefix(frameSize)) {
        const std::string_view frame = received.substr(0, frameSize);
        if (auto word = refusedKeyword(frame.substr(0, frame.find('\0'))))
            refused.push_back(std::move(*word));
    }
}

// Sends the commands in their order and prints the replies of those that get one.
int sendCommands(Connection& connection, const Invocation& invocation,
                 std::vector<std::string>& refused, Error& error) {
    int status = exitOk;
    for (const Command& command : invocation.commands) {
        const FrameBytes frame =
            command.entry->keyword.empty() ? rawFrame(command.argument) : buildFrame(command);
        if (!connection.send(frame, error)) return error.status;
        const bool launch = command.entry->keyword == "commandline:";
        if (!launch && command.entry->keyword != "status:") continue;
        const std::optional<std::string> reply =
            replyTo(connection, command.entry->keyword, refused, error);
        if (!reply) return error.status;
        if (refusedKeyword(*reply)) continue;
        if (!launch) {
            std::cout << (invocation.json ? statusJson(*reply) : statusSummary(*reply))
                      << std::flush;
            continue;
        }
        std::cout << *reply << std::endl;
        if (*reply != "true") status = exitLaunchFailed;
    }
    return status;
}

}  // namespace

int run(std::span<const std::string_view> arguments) {
    Invocation invocation;
    if (const std::optional<int> exit = parseArguments(arguments, invocation)) return *exit;

    Error error{exitOk, {}};
    std::optional<int> port = invocation.port;
    if (!port) port = readPortFile(invocation.portFile, error);
    std::optional<Connection> connection;
    if (port) connection = Connection::open(*port, error);
    if (!connection) {
        std::cerr << "telvorctl: " << error.message << "\n";
        return error.status;
    }
    const auto timeout = std::chrono::seconds(invocation.timeoutSeconds);
    connection->setTimeout(timeout);
    std::vector<std::string> refused;
    const int status = sendCommands(*connection, invocation, refused, error);
    std::string received;
    if (error.status == exitOk && invocation.wait) connection->finish(timeout, error, &received);
    if (error.status == exitConnection) connection->explainDrop(error);
    if (const auto why = connectionRefused(received.substr(0, received.find('\0'))))
        error = refusedConnection(*why);
    if (error.status != exitOk) {
        std::cerr << "telvorctl: " << error.message << "\n";
        return error.status;
    }
    addRefusals(received, refused);
    for (const std::string& keyword : refused) {
        std::cerr << "telvorctl: telvord refused " << keyword
                  << " only root and members of its control group may send it\n";
    }
    return refused.empty() ? status : exitRefused;
}

}  // namespace telvorctl
