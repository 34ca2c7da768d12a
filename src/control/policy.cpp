#include "control/policy.h"

#include <algorithm>
#include <array>
#include <compare>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <utility>

#include "control/openvpn_config.h"
#include "control/openvpn_ports.h"
#include "util/path.h"

namespace control {
namespace {

enum class Check {
    None,
    ScriptSecurity,   // 0 or 1: no program may run
    Loopback,         // management on 127.0.0.1 or ::1 and a port number, never a socket file
    CommandLineOnly,  // config: a configuration may not name a further one
    Port,             // a port number, the first argument
    Protocol,         // a protocol OpenVPN knows, the first argument
    Remote,           // a host, then a port number and a protocol where given
    ProxyPort,        // a host, then a port number where given
    NewDevice,        // dev: a device OpenVPN makes itself, never one that exists
};

struct Rule {
    constexpr Rule(std::string_view name, std::size_t least, std::size_t most,
                   std::size_t fileArgument = 0, bool mayBeInline = false,
                   std::string_view keywords = {}, Check extra = Check::None,
                   std::string_view reason = {})
        : option(name),
          minArguments(least),
          maxArguments(most),
          file(fileArgument),
          inlineBlock(mayBeInline),
          notFiles(keywords),
          check(extra),
          why(reason) {}

    std::string_view option;
    std::size_t minArguments, maxArguments;
    std::size_t file;           // the argument that names a file, counted from 1; 0 for none
    bool inlineBlock;           // whether the file may be given as an inline block
    std::string_view notFiles;  // words in the file's place that are keywords, not files
    Check check;
    std::string_view why;  // why the option is safe, where that is not plain
};

// Every option a VPN client uses, and nothing that loads code, runs a program, writes or
// deletes a file, opens a device node of the caller's choice, detaches or changes how later
// options are read. When in doubt, an option stays off the list.
// clang-format off
constexpr std::array rules{
    // Connection and transport.
    Rule{"client",                       0, 0},
    Rule{"pull",                         0, 0},
    Rule{"tls-client",                   0, 0},
    Rule{"dev",                          1, 1, 0, false, {}, Check::NewDevice, "names the interface; the device node is fixed"},
    Rule{"dev-type",                     1, 1},
    Rule{"proto",                        1, 1, 0, false, {}, Check::Protocol},
    Rule{"remote",                       1, 3, 0, false, {}, Check::Remote},
    Rule{"port",                         1, 1, 0, false, {}, Check::Port},
    Rule{"rport",                        1, 1, 0, false, {}, Check::Port},
    Rule{"lport",                        1, 1, 0, false, {}, Check::Port},
    Rule{"nobind",                       0, 0},
    Rule{"float",                        0, 0},
    Rule{"remote-random",                0, 0},
    Rule{"resolv-retry",                 1, 1},
    Rule{"connect-retry",                1, 2},
    Rule{"connect-retry-max",            1, 1},
    Rule{"connect-timeout",              1, 1},
    Rule{"server-poll-timeout",          1, 1},
    Rule{"explicit-exit-notify",         0, 1},
    Rule{"http-proxy",                   2, 4, 3, false, "auto auto-nct stdin", Check::ProxyPort},
    Rule{"http-proxy-option",            1, 3, 0, false, {}, Check::None, "header texts sent to the proxy"},
    Rule{"http-proxy-user-pass",         1, 1, 1, true},
    Rule{"socks-proxy",                  1, 3, 3, false, "stdin", Check::ProxyPort},
    // Tunnel.
    Rule{"tun-mtu",                      1, 2},
    Rule{"mssfix",                       0, 2},
    Rule{"fragment",                     1, 2},
    Rule{"sndbuf",                       1, 1},
    Rule{"rcvbuf",                       1, 1},
    Rule{"txqueuelen",                   1, 1},
    Rule{"persist-tun",                  0, 0},
    Rule{"persist-key",                  0, 0},
    Rule{"disable-dco",                  0, 0},
    Rule{"topology",                     1, 1},
    Rule{"route-nopull",                 0, 0},
    Rule{"pull-filter",                  2, 2},
    Rule{"route-noexec",                 0, 0},
    Rule{"ifconfig-noexec",              0, 0},
    Rule{"redirect-gateway",             0, 8},
    Rule{"route",                        1, 4, 0, false, {}, Check::None, "routes are the tunnel's business; ip runs without a shell"},
    Rule{"route-ipv6",                   1, 3},
    Rule{"route-metric",                 1, 1},
    Rule{"route-delay",                  0, 2},
    Rule{"dhcp-option",                  1, 2},
    Rule{"block-ipv6",                   0, 0},
    // Crypto.
    Rule{"ca",                           1, 1, 1, true},
    Rule{"cert",                         1, 1, 1, true},
    Rule{"key",                          1, 1, 1, true},
    Rule{"extra-certs",                  1, 1, 1, true},
    Rule{"pkcs12",                       1, 1, 1, true},
    Rule{"tls-auth",                     1, 2, 1, true},
    Rule{"tls-crypt",                    1, 1, 1, true},
    Rule{"tls-crypt-v2",                 1, 1, 1, true},
    Rule{"secret",                       1, 2, 1, true},
    Rule{"key-direction",                1, 1},
    Rule{"dh",                           1, 1, 1, true, "none"},
    Rule{"crl-verify",                   1, 1, 1, true, {}, Check::None, "as a file only: 'dir' would read a directory"},
    Rule{"remote-cert-tls",              1, 1},
    Rule{"verify-x509-name",             1, 2},
    Rule{"cipher",                       1, 1},
    Rule{"data-ciphers",                 1, 1},
    Rule{"data-ciphers-fallback",        1, 1},
    Rule{"ncp-ciphers",                  1, 1},
    Rule{"auth",                         1, 1},
    Rule{"tls-version-min",              1, 2},
    Rule{"tls-version-max",              1, 1},
    Rule{"tls-cipher",                   1, 1},
    Rule{"tls-ciphersuites",             1, 1},
    Rule{"tls-groups",                   1, 1},
    Rule{"reneg-sec",                    1, 2},
    Rule{"reneg-bytes",                  1, 1},
    Rule{"reneg-pkts",                   1, 1},
    Rule{"auth-nocache",                 0, 0},
    Rule{"auth-token-user",              1, 1},
    Rule{"auth-retry",                   1, 1},
    Rule{"auth-user-pass",               0, 1, 1, true, "stdin"},
    Rule{"askpass",                      0, 1, 1, false, "stdin"},
    Rule{"static-challenge",             2, 3},
    // Timing and liveness.
    Rule{"keepalive",                    2, 2},
    Rule{"ping",                         1, 1},
    Rule{"ping-restart",                 1, 1},
    Rule{"ping-exit",                    1, 1},
    Rule{"ping-timer-rem",               0, 0},
    Rule{"inactive",                     1, 2},
    Rule{"hand-window",                  1, 1},
    Rule{"tran-window",                  1, 1},
    // Compression.
    Rule{"comp-lzo",                     0, 1},
    Rule{"compress",                     0, 1},
    Rule{"allow-compression",            1, 1},
    // Output: to the daemon's journal only.
    Rule{"verb",                         1, 1},
    Rule{"mute",                         1, 1},
    Rule{"mute-replay-warnings",         0, 0},
    Rule{"suppress-timestamps",          0, 0},
    Rule{"machine-readable-output",      0, 0},
    // Management, over loopback TCP only: a socket file would be created as root.
    Rule{"management",                   2, 3, 3, false, "stdin", Check::Loopback},
    Rule{"management-query-passwords",   0, 0},
    Rule{"management-hold",              0, 0},
    Rule{"management-signal",            0, 0},
    Rule{"management-forget-disconnect", 0, 0},
    Rule{"management-up-down",           0, 0},
    Rule{"management-client",            0, 0, 0, false, {}, Check::None, "connects to the loopback address above"},
    Rule{"management-query-proxy",       0, 0},
    Rule{"management-query-remote",      0, 0},
    Rule{"management-log-cache",         1, 1},
    // Scripts may not run; the configuration reading itself.
    Rule{"script-security",              1, 1, 0, false, {}, Check::ScriptSecurity},
    Rule{"config",                       1, 1, 1, false, {}, Check::CommandLineOnly},
};
// clang-format on

// What the command line may add to a configuration the administrator provided. Its secrets
// (keys, proxy and user credentials) must go only where it says, so nothing that decides where
// OpenVPN connects before the server is authenticated may be added: no proxy, remote,
// protocol or port, no management interface, no file. Only how much OpenVPN logs and how
// patiently it connects.
constexpr std::array<std::string_view, 12> besideProvided{
    "verb",
    "mute",
    "mute-replay-warnings",
    "suppress-timestamps",
    "machine-readable-output",
    "connect-retry",
    "connect-retry-max",
    "connect-timeout",
    "server-poll-timeout",
    "resolv-retry",
    "auth-nocache",
    "disable-dco",
};

// What the daemon decides for every launch (see daemonOptions in launcher.h), and what would
// undo it: OpenVPN's socket mark, the account it runs as, and the root directory and security
// context it changes to.
constexpr std::array<std::string_view, 5> daemonsOwn{"mark", "user", "group", "chroot", "setcon"};

// What a configuration the administrator provided may still say of them, as it could before:
// the daemon's own, given after the configuration, takes its place.
bool overriddenInProvided(std::string_view option, const std::vector<std::string>& words) {
    return (option == "user" || option == "group") && words.size() == 2;
}

constexpr std::size_t maxFileSize = 1 << 20;

const Rule* findRule(std::string_view option) {
    const auto rule =
        std::find_if(rules.begin(), rules.end(), [&](const Rule& r) { return r.option == option; });
    return rule == rules.end() ? nullptr : &*rule;
}

PolicyVerdict refuse(std::string_view option, std::string reason) {
    return PolicyVerdict{false, std::string(option), std::move(reason), {}, 0};
}

bool isKeyword(std::string_view word, std::string_view keywords) {
    while (!keywords.empty()) {
        const std::size_t end = keywords.find(' ');
        if (keywords.substr(0, end) == word) return true;
        keywords.remove_prefix(end == std::string_view::npos ? keywords.size() : end + 1);
    }
    return false;
}

// Refuses the word at `index`, where there is one, unless it is a port number: OpenVPN would
// take a number above 65535 for what its low 16 bits say, and look a name up.
PolicyVerdict portWord(std::string_view option, const std::vector<std::string>& words,
                       std::size_t index) {
    if (index >= words.size() || portNumber(words[index])) return {};
    return refuse(option,
                  "names the port " + words[index] + ", which is no number from 1 to 65535");
}

// OpenVPN attaches to a tun or tap device of that name when one exists, a persistent device of
// another user's or a virtual machine's: what the host routes into it would then go to this
// client's peer. It may only make one: a dynamic one ("tun", "tap"), none ("null"), or one of a
// name nobody holds, which the kernel takes whole.
PolicyVerdict device(std::string_view option, const std::string& name,
                     const std::set<std::string>& existing) {
    if (name == "tun" || name == "tap" || name == "null") return {};
    const bool plain = name.size() < 16 && std::all_of(name.begin(), name.end(), [](char c) {
                           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                  (c >= '0' && c <= '9') || c == '-' || c == '_';
                       });
    if (!plain) return refuse(option, "names a device the kernel would not call so");
    if (existing.contains(name)) {
        return refuse(option, "names " + name +
                                  ", which exists already: OpenVPN may only make a device "
                                  "of its own");
    }
    return {};
}

// Refuses what the table does not allow, apart from the file an option names; a device counts
// against the host's interfaces as they were when the launch was read.
PolicyVerdict judgeOption(const std::vector<std::string>& words, bool inConfiguration,
                          bool provided, const std::set<std::string>& devices) {
    const std::string& option = words[0];
    if (std::find(daemonsOwn.begin(), daemonsOwn.end(), option) != daemonsOwn.end()) {
        if (provided && overriddenInProvided(option, words)) return {};
        return refuse(option, "is for the daemon to decide, not the client");
    }
    const Rule* rule = findRule(option);
    if (rule == nullptr) return refuse(option, "is not an option a VPN client may use");
    const std::size_t count = words.size() - 1;
    if (count < rule->minArguments || count > rule->maxArguments) {
        return refuse(option, "has " + std::to_string(count) + " arguments");
    }
    switch (rule->check) {
        case Check::None:
            break;
        case Check::NewDevice:
            return device(option, words[1], devices);
        case Check::ScriptSecurity:
            if (words[1] != "0" && words[1] != "1") return refuse(option, "allows programs to run");
            break;
        case Check::Loopback:
            if ((words[1] != "127.0.0.1" && words[1] != "::1") || !portNumber(words[2])) {
                return refuse(option, "is allowed on 127.0.0.1 or ::1 and a port only");
            }
            break;
        case Check::Port:
            return portWord(option, words, 1);
        case Check::Protocol:
            if (!protocolNamed(words[1]))
                return refuse(option, "names a protocol OpenVPN does not know");
            break;
        case Check::Remote:
            if (words.size() > 3 && !protocolNamed(words[3]))
                return refuse(option, "names a protocol OpenVPN does not know");
            return portWord(option, words, 2);
        case Check::ProxyPort:
            return portWord(option, words, 2);
        case Check::CommandLineOnly:
            if (inConfiguration) return refuse(option, "names a further configuration file");
            break;
    }
    return {};
}

std::string resolve(const std::string& name, const std::string& directory) {
    if (name.starts_with('/')) return name;
    return (directory.ends_with('/') ? directory : directory + "/") + name;
}

FileRead limited(FileRead read) {
    if (read.text && read.text->size() > maxFileSize) return {std::nullopt, "it is too large"};
    return read;
}

// The reading: the launch as OpenVPN reads it, into a plain value. No configuration is opened
// and no device looked up after it.

// Where the names an option holds are read from.
struct Origin {
    std::string directory;  // relative names count from here
    // Set for a configuration the administrator provided, which reads its own names.
    std::function<FileRead(const std::string&)> readProvided;
};

// A configuration the command line names, as it was read.
struct Configuration {
    std::optional<std::string> unreadable;  // why its text could not be read
    ConfigurationReading reading;           // its options, or why its text is refused
    Origin origin;                          // where the names it holds are read from
};

// An option of the command line, with the configuration it names read in its place.
struct CommandLineOption {
    std::vector<std::string> words;  // its name without dashes, then its arguments
    std::size_t first = 0;           // the argument vector holds its argument k at first + k
    std::optional<Configuration> configuration;
};

// OpenVPN's command line with every configuration it names, and which of the devices they name
// the host has already.
struct Launch {
    std::vector<std::string> argv;
    std::string directory;                   // where OpenVPN starts
    std::optional<std::string> notAnOption;  // a word where an option must stand
    std::vector<CommandLineOption> options;  // up to that word
    std::set<std::string> existingDevices;
};

// What the configurations of one launch may hold together: all of them are held at once, and
// each is handed on as a private copy, of which a launch may hold 4 MiB.
constexpr std::size_t maxConfigurationBytes = 4 << 20;

void readCommandLine(Launch& launch) {
    const std::vector<std::string>& argv = launch.argv;
    // A lone argument that is not an option names a configuration file.
    if (argv.size() == 2 && !argv[1].starts_with("--")) {
        launch.options.push_back({{"config", argv[1]}, 0, std::nullopt});
        return;
    }
    for (std::size_t i = 1; i < argv.size();) {
        if (!argv[i].starts_with("--")) {
            launch.notAnOption = argv[i];
            return;
        }
        CommandLineOption option{{argv[i].substr(2)}, i++, std::nullopt};
        while (i < argv.size() && !argv[i].starts_with("--"))
            option.words.push_back(argv[i++]);
        launch.options.push_back(std::move(option));
    }
}

// Reads the configuration at `path` within what `budget` has left of maxConfigurationBytes.
Configuration readConfiguration(const std::string& path, const LaunchFiles& files,
                                std::size_t& budget) {
    Configuration configuration{std::nullopt, {}, {util::parentDirectory(path), {}}};
    OpenedConfiguration opened = files.configuration(path);
    const FileRead read = limited(std::move(opened.file));
    if (!read.text) {
        configuration.unreadable = read.error;
    } else if (read.text->size() > budget) {
        configuration.unreadable = "it holds more than 4 MiB with the configurations before it";
    } else {
        budget -= read.text->size();
        configuration.reading = readOpenVpnConfiguration(*read.text, mayBeInline);
        configuration.origin.readProvided = std::move(opened.readProvided);
    }
    return configuration;
}

// Notes the device "dev" names when the host has one of that name.
void lookUpDevice(const std::vector<std::string>& words, const LaunchFiles& files,
                  std::set<std::string>& existing) {
    if (words[0] == "dev" && words.size() == 2 && files.deviceExists(words[1]))
        existing.insert(words[1]);
}

void lookUpDevices(const std::vector<Directive>& directives, const LaunchFiles& files,
                   std::set<std::string>& existing) {
    for (const Directive& directive : directives) {
        if (!directive.block) lookUpDevice(directive.words, files, existing);
        lookUpDevices(directive.connection, files, existing);
    }
}

Launch readLaunch(const std::vector<std::string>& argv, const std::string& directory,
                  const LaunchFiles& files) {
    Launch launch{argv, directory, std::nullopt, {}, {}};
    readCommandLine(launch);
    std::size_t budget = maxConfigurationBytes;
    for (CommandLineOption& option : launch.options) {
        lookUpDevice(option.words, files, launch.existingDevices);
        if (option.words[0] != "config" || option.words.size() != 2) continue;
        option.configuration =
            readConfiguration(resolve(option.words[1], directory), files, budget);
        lookUpDevices(option.configuration->reading.directives, files, launch.existingDevices);
    }
    return launch;
}

// The judging: a verdict over what was read, which opens nothing.

// Where an option stands in the order OpenVPN reads them.
struct Place {
    std::size_t option = 0;  // the command line's option
    int line = 0;            // the line of the configuration it names; 0 for the option itself
    auto operator<=>(const Place&) const = default;
};

// The first refusal in reading order and where it stands: past the last option for one of the
// whole, or for none.
struct Judgement {
    PolicyVerdict verdict;
    Place place;
};

PolicyVerdict judgeDirectives(const std::vector<Directive>& list, bool provided,
                              const std::set<std::string>& devices) {
    for (const Directive& directive : list) {
        PolicyVerdict verdict;
        // Blocks were checked as they were read: connections hold options of their own,
        // and other blocks belong to options that may be inline.
        if (directive.block && !directive.inlineText) {
            verdict = judgeDirectives(directive.connection, provided, devices);
        } else if (!directive.block) {
            verdict = judgeOption(directive.words, true, provided, devices);
            verdict.line = directive.line;
        }
        if (!verdict.allowed) return verdict;
    }
    return {};
}

// A configuration refused as a whole stands at the option that names it; one refused for an
// option it holds, at that option's line.
Judgement judgeConfiguration(const CommandLineOption& option, std::size_t index,
                             const std::set<std::string>& devices) {
    const Configuration& configuration = *option.configuration;
    const ConfigurationReading& reading = configuration.reading;
    Judgement judgement{{}, {index, 0}};
    if (configuration.unreadable) {
        judgement.verdict = refuse(
            option.words[0], "names a file that cannot be read: " + *configuration.unreadable);
    } else if (!reading.refusal.empty()) {
        judgement.verdict = PolicyVerdict{false, {}, reading.refusal, {}, reading.line};
    } else {
        const bool provided = static_cast<bool>(configuration.origin.readProvided);
        judgement.verdict = judgeDirectives(reading.directives, provided, devices);
        judgement.place.line = judgement.verdict.line;
    }
    if (!judgement.verdict.allowed) judgement.verdict.file = option.words[1];
    return judgement;
}

// Every option in the order OpenVPN reads them, a configuration's in its place.
std::vector<Directive> readingOrder(const Launch& launch) {
    std::vector<Directive> order;
    for (const CommandLineOption& option : launch.options) {
        if (option.configuration) {
            const std::vector<Directive>& held = option.configuration->reading.directives;
            order.insert(order.end(), held.begin(), held.end());
        } else if (option.words[0] != "config") {
            order.push_back(Directive{0, option.words, false, std::nullopt, {}});
        }
    }
    return order;
}

bool readsProvided(const Launch& launch) {
    return std::any_of(launch.options.begin(), launch.options.end(), [](const auto& option) {
        return option.configuration && option.configuration->origin.readProvided;
    });
}

// What the options add up to: beside a configuration the administrator provided, only what
// cannot send its secrets elsewhere; otherwise no port below 1024.
PolicyVerdict judgeWhole(const Launch& launch) {
    if (!readsProvided(launch)) {
        const std::optional<PortRefusal> port = privilegedPort(readingOrder(launch));
        return port ? refuse(port->option, port->reason) : PolicyVerdict{};
    }
    bool configuration = false;
    for (const CommandLineOption& option : launch.options) {
        const std::string& name = option.words[0];
        // The one configuration itself.
        if (name == "config" && !std::exchange(configuration, true)) continue;
        if (std::find(besideProvided.begin(), besideProvided.end(), name) == besideProvided.end()) {
            return refuse(name, "may not be added to a configuration the administrator provided");
        }
    }
    return {};
}

Judgement judgeLaunch(const Launch& launch) {
    if (launch.notAnOption) {
        return {refuse({}, "holds " + *launch.notAnOption + ", which is no option"), {}};
    }
    for (std::size_t i = 0; i < launch.options.size(); ++i) {
        const CommandLineOption& option = launch.options[i];
        Judgement judgement{judgeOption(option.words, false, false, launch.existingDevices),
                            {i, 0}};
        if (judgement.verdict.allowed && option.configuration)
            judgement = judgeConfiguration(option, i, launch.existingDevices);
        if (!judgement.verdict.allowed) return judgement;
    }
    return {judgeWhole(launch), {launch.options.size(), 0}};
}

// The rewriting: the private copies, and the launch pointed at them.

// The argument that names a file OpenVPN reads, counted from 1; 0 for none. A configuration's
// name is none: it was read as a configuration and is written anew.
std::size_t fileArgument(const std::vector<std::string>& words) {
    const Rule* rule = findRule(words[0]);
    if (rule == nullptr || rule->check == Check::CommandLineOnly || rule->file == 0 ||
        rule->file >= words.size() || isKeyword(words[rule->file], rule->notFiles))
        return 0;
    return rule->file;
}

// Keeps a private copy of every file an option names, read with the rights its origin gives,
// and of every configuration written anew once its files are kept. It goes only as far as the
// judge's refusal: the verdict is the first refusal in reading order, so that a file before it
// that cannot be read or copied is refused first.
class Rewriter {
  public:
    Rewriter(const LaunchFiles& files, Place until) : files_(files), until_(until) {}

    PolicyVerdict rewrite(Launch& launch) {
        const Origin commandLine{launch.directory, {}};
        for (std::size_t i = 0; i < launch.options.size() && Place{i, 0} < until_; ++i) {
            CommandLineOption& option = launch.options[i];
            const PolicyVerdict verdict =
                option.configuration ? configuration(option, i) : file(option.words, commandLine);
            if (!verdict.allowed) return verdict;
            std::copy(option.words.begin() + 1, option.words.end(),
                      launch.argv.begin() + static_cast<long>(option.first) + 1);
        }
        return {};
    }

  private:
    // OpenVPN uses only the last of a repeated option, and a file named twice is the same
    // file: each is read and copied once.
    PolicyVerdict file(std::vector<std::string>& words, const Origin& origin) {
        const std::size_t index = fileArgument(words);
        if (index == 0) return {};
        std::string& word = words[index];
        const std::string path = resolve(word, origin.directory);
        const std::string key =
            origin.readProvided ? "provided " + origin.directory + " " + word : path;
        if (const auto copied = copied_.find(key); copied != copied_.end()) {
            word = copied->second;
            return {};
        }
        const FileRead read =
            limited(origin.readProvided ? origin.readProvided(word) : files_.read(path));
        if (!read.text) return refuse(words[0], "names a file that cannot be read: " + read.error);
        const PolicyVerdict verdict = keep(words[0], *read.text, word);
        if (verdict.allowed) copied_.emplace(key, word);
        return verdict;
    }

    PolicyVerdict configuration(CommandLineOption& option, std::size_t index) {
        Configuration& configuration = *option.configuration;
        std::vector<Directive>& held = configuration.reading.directives;
        PolicyVerdict verdict = directives(held, configuration.origin, index);
        // Written anew only when the judge refused none of the options it holds.
        if (verdict.allowed && until_.option > index) {
            const std::optional<std::string> text = writeOpenVpnConfiguration(held);
            verdict = text ? keep(option.words[0], *text, option.words[1])
                           : refuse(option.words[0], "holds a line too long to hand on");
        }
        if (!verdict.allowed) verdict.file = option.words[1];
        return verdict;
    }

    PolicyVerdict directives(std::vector<Directive>& list, const Origin& origin,
                             std::size_t index) {
        for (Directive& directive : list) {
            if (Place{index, directive.line} >= until_) break;
            PolicyVerdict verdict;
            if (directive.block && !directive.inlineText) {
                verdict = directives(directive.connection, origin, index);
            } else if (!directive.block) {
                verdict = file(directive.words, origin);
                verdict.line = directive.line;
            }
            if (!verdict.allowed) return verdict;
        }
        return {};
    }

    PolicyVerdict keep(std::string_view option, std::string_view text, std::string& word) {
        const KeptCopy copy = files_.keep(text);
        if (!copy.path) return refuse(option, "could not be copied: " + copy.error);
        word = *copy.path;
        return {};
    }

    const LaunchFiles& files_;
    Place until_;
    std::map<std::string, std::string> copied_;  // by where a file was read, its copy
};

}  // namespace

bool mayBeInline(std::string_view option) {
    const Rule* rule = findRule(option);
    return rule != nullptr && rule->inlineBlock;
}

PolicyVerdict checkLaunchPolicy(std::vector<std::string>& argv, const std::string& directory,
                                const LaunchFiles& files) {
    Launch launch = readLaunch(argv, directory, files);
    const Judgement judgement = judgeLaunch(launch);
    const PolicyVerdict rewriting = Rewriter(files, judgement.place).rewrite(launch);
    if (!rewriting.allowed) return rewriting;
    if (judgement.verdict.allowed) argv = std::move(launch.argv);
    return judgement.verdict;
}

}  // namespace control
