#include "control/policy.h"

#include <algorithm>
#include <array>
#include <map>
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

// Refuses what the table does not allow, apart from the file an option names.
PolicyVerdict checkArguments(std::string_view option, const std::vector<std::string>& words,
                             bool inConfiguration, bool provided) {
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
        case Check::NewDevice:  // judged against the host's interfaces
            break;
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

// Where the names an option holds are read from.
struct Origin {
    std::string directory;  // relative names count from here
    // Set inside a configuration the administrator provided, which reads its own names.
    const std::function<FileRead(const std::string&)>* provided = nullptr;
};

class Checker {
  public:
    explicit Checker(const LaunchFiles& files) : files_(files) {}

    // Checks one option with its words; points its file word, if any, at a private copy.
    PolicyVerdict option(std::vector<std::string>& words, const Origin& origin,
                         bool inConfiguration) {
        const std::string name = words[0];
        PolicyVerdict verdict =
            checkArguments(name, words, inConfiguration, origin.provided != nullptr);
        if (!verdict.allowed) return verdict;
        const Rule* found = findRule(name);
        if (found == nullptr) return {};  // one of the daemon's own that it overrides
        const Rule& rule = *found;
        if (rule.check == Check::NewDevice) return device(name, words[1]);
        if (rule.file == 0 || rule.file >= words.size() ||
            isKeyword(words[rule.file], rule.notFiles))
            return {};
        std::string& word = words[rule.file];
        if (rule.check == Check::CommandLineOnly) {
            return configuration(name, word, resolve(word, origin.directory));
        }
        // OpenVPN uses only the last of a repeated option, and a file named twice is the same
        // file: each is read and copied once.
        const std::string source = origin.provided ? "provided " + origin.directory + " " + word
                                                   : resolve(word, origin.directory);
        if (const auto copied = copied_.find(source); copied != copied_.end()) {
            word = copied->second;
            return {};
        }
        const FileRead read =
            limited(origin.provided ? (*origin.provided)(word)
                                    : files_.read(resolve(word, origin.directory)));
        if (!read.text) return refuse(name, "names a file that cannot be read: " + read.error);
        verdict = keep(name, *read.text, word);
        if (verdict.allowed) copied_.emplace(source, word);
        return verdict;
    }

    // An option of the command line, once checked, in the place OpenVPN reads it.
    void commandLine(const std::vector<std::string>& words) {
        if (words[0] != "config") read_.push_back(Directive{0, words, false, std::nullopt, {}});
        added_.push_back(words[0]);
    }

    // What the options add up to: beside a configuration the administrator provided, only what
    // cannot send its secrets elsewhere; otherwise no port below 1024.
    PolicyVerdict whole() const {
        if (!provided_) {
            const std::optional<PortRefusal> port = privilegedPort(read_);
            return port ? refuse(port->option, port->reason) : PolicyVerdict{};
        }
        bool configuration = false;
        for (const std::string& name : added_) {
            // The one configuration itself.
            if (name == "config" && !std::exchange(configuration, true)) continue;
            if (std::find(besideProvided.begin(), besideProvided.end(), name) ==
                besideProvided.end()) {
                return refuse(name,
                              "may not be added to a configuration the administrator provided");
            }
        }
        return {};
    }

  private:
    // OpenVPN attaches to a tun or tap device of that name when one exists, a persistent device
    // of another user's or a virtual machine's: what the host routes into it would then go to
    // this client's peer. It may only make one: a dynamic one ("tun", "tap"), none ("null"),
    // or one of a name nobody holds, which the kernel takes whole.
    PolicyVerdict device(std::string_view option, const std::string& name) const {
        if (name == "tun" || name == "tap" || name == "null") return {};
        const bool plain = name.size() < 16 && std::all_of(name.begin(), name.end(), [](char c) {
                               return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                      (c >= '0' && c <= '9') || c == '-' || c == '_';
                           });
        if (!plain) return refuse(option, "names a device the kernel would not call so");
        if (files_.deviceExists(name)) {
            return refuse(option, "names " + name +
                                      ", which exists already: OpenVPN may only make a device "
                                      "of its own");
        }
        return {};
    }

    static FileRead limited(FileRead read) {
        if (read.text && read.text->size() > maxFileSize) return {std::nullopt, "it is too large"};
        return read;
    }

    PolicyVerdict keep(std::string_view option, std::string_view text, std::string& word) {
        const KeptCopy copy = files_.keep(text);
        if (!copy.path) return refuse(option, "could not be copied: " + copy.error);
        word = *copy.path;
        return {};
    }

    PolicyVerdict configuration(std::string_view option, std::string& word,
                                const std::string& path) {
        const OpenedConfiguration opened = files_.configuration(path);
        const FileRead read = limited(opened.file);
        PolicyVerdict verdict;
        if (!read.text) {
            verdict = refuse(option, "names a file that cannot be read: " + read.error);
        } else {
            ConfigurationReading reading = readOpenVpnConfiguration(*read.text, mayBeInline);
            const Origin inner{util::parentDirectory(path),
                               opened.readProvided ? &opened.readProvided : nullptr};
            verdict = reading.refusal.empty()
                          ? directives(reading.directives, inner)
                          : PolicyVerdict{false, {}, reading.refusal, {}, reading.line};
            if (verdict.allowed) {
                const std::optional<std::string> text =
                    writeOpenVpnConfiguration(reading.directives);
                verdict = text ? keep(option, *text, word)
                               : refuse(option, "holds a line too long to hand on");
            }
            provided_ = provided_ || inner.provided != nullptr;
            read_.insert(read_.end(), reading.directives.begin(), reading.directives.end());
        }
        if (!verdict.allowed) verdict.file = word;
        return verdict;
    }

    PolicyVerdict directives(std::vector<Directive>& list, const Origin& origin) {
        for (Directive& directive : list) {
            PolicyVerdict verdict;
            // Blocks were checked as they were read: connections hold options of their own,
            // and other blocks belong to options that may be inline.
            if (directive.block && !directive.inlineText) {
                verdict = directives(directive.connection, origin);
            } else if (!directive.block) {
                verdict = option(directive.words, origin, true);
                verdict.line = directive.line;
            }
            if (!verdict.allowed) return verdict;
        }
        return {};
    }

    const LaunchFiles& files_;
    std::vector<Directive> read_;                // every option in the order OpenVPN reads them
    std::vector<std::string> added_;             // the names of the command line's options
    std::map<std::string, std::string> copied_;  // by where a file was read, its copy
    bool provided_ = false;  // whether a configuration the administrator provided is read
};

}  // namespace

bool mayBeInline(std::string_view option) {
    const Rule* rule = findRule(option);
    return rule != nullptr && rule->inlineBlock;
}

PolicyVerdict checkLaunchPolicy(std::vector<std::string>& argv, const std::string& directory,
                                const LaunchFiles& files) {
    Checker checker(files);
    const Origin origin{directory};
    // A lone argument that is not an option names a configuration file.
    if (argv.size() == 2 && !argv[1].starts_with("--")) {
        std::vector<std::string> words = {"config", argv[1]};
        const PolicyVerdict verdict = checker.option(words, origin, false);
        if (!verdict.allowed) return verdict;
        checker.commandLine(words);
        argv[1] = words[1];
        return checker.whole();
    }
    for (std::size_t i = 1; i < argv.size();) {
        if (!argv[i].starts_with("--"))
            return refuse({}, "holds " + argv[i] + ", which is no option");
        const std::size_t first = i;
        std::vector<std::string> words = {argv[i++].substr(2)};
        while (i < argv.size() && !argv[i].starts_with("--"))
            words.push_back(argv[i++]);
        const PolicyVerdict verdict = checker.option(words, origin, false);
        if (!verdict.allowed) return verdict;
        checker.commandLine(words);
        std::copy(words.begin() + 1, words.end(), argv.begin() + static_cast<long>(first) + 1);
    }
    return checker.whole();
}

}  // namespace control
