#include "control/policy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <optional>

#include "util/unique_fd.h"

namespace control {
namespace {

enum class When {
    Always,               // the option itself is refused
    WithArgument,         // refused when it has an argument (a file to write)
    ScriptLevelAboveOne,  // --script-security 2 or 3
    SetenvOpt,            // --setenv opt ...: hides an option from the checks
    UnixSocket,           // --management PATH unix: creates a socket file as root
};

struct Rule {
    std::string_view option;
    When when;
    std::string_view reason;
};

// clang-format off
constexpr std::array rules{
    // Options that load code, whatever --script-security says.
    Rule{"plugin",                  When::Always,              "loads code"},
    Rule{"engine",                  When::Always,              "loads code"},
    Rule{"providers",               When::Always,              "loads code"},
    Rule{"pkcs11-providers",        When::Always,              "loads code"},
    // Options that run programs.
    Rule{"up",                      When::Always,              "runs a program"},
    Rule{"down",                    When::Always,              "runs a program"},
    Rule{"route-up",                When::Always,              "runs a program"},
    Rule{"route-pre-down",          When::Always,              "runs a program"},
    Rule{"ipchange",                When::Always,              "runs a program"},
    Rule{"tls-verify",              When::Always,              "runs a program"},
    Rule{"tls-crypt-v2-verify",     When::Always,              "runs a program"},
    Rule{"auth-user-pass-verify",   When::Always,              "runs a program"},
    Rule{"client-connect",          When::Always,              "runs a program"},
    Rule{"client-disconnect",       When::Always,              "runs a program"},
    Rule{"client-crresponse",       When::Always,              "runs a program"},
    Rule{"learn-address",           When::Always,              "runs a program"},
    Rule{"iproute",                 When::Always,              "runs a program"},
    Rule{"dns-updown",              When::Always,              "runs a program"},
    Rule{"script-security",         When::ScriptLevelAboveOne, "allows programs to run"},
    // Options that write files chosen by the caller.
    Rule{"log",                     When::Always,              "writes a file"},
    Rule{"log-append",              When::Always,              "writes a file"},
    Rule{"writepid",                When::Always,              "writes a file"},
    Rule{"status",                  When::WithArgument,        "writes a file"},
    Rule{"replay-persist",          When::Always,              "writes a file"},
    Rule{"ifconfig-pool-persist",   When::Always,              "writes a file"},
    Rule{"tls-export-cert",         When::Always,              "writes files"},
    Rule{"genkey",                  When::Always,              "writes a file"},
    Rule{"tmp-dir",                 When::Always,              "writes files"},
    Rule{"mktun",                   When::Always,              "creates a device"},
    Rule{"rmtun",                   When::Always,              "removes a device"},
    Rule{"management",              When::UnixSocket,          "creates a socket file"},
    // Escape hatches that hide or alter other options.
    Rule{"ignore-unknown-option",   When::Always,              "hides options"},
    Rule{"setenv",                  When::SetenvOpt,           "hides options"},
    Rule{"setenv-safe",             When::Always,              "hides options"},
    Rule{"daemon",                  When::Always,              "detaches from the daemon's watch"},
    Rule{"cd",                      When::Always,              "changes the directory of every path"},
    Rule{"chroot",                  When::Always,              "changes the root of every path"},
    Rule{"dev-node",                When::Always,              "opens a device node of the caller's choice"},
};
// clang-format on

constexpr std::size_t maxConfigurationSize = 1 << 20;

bool refused(const Rule& rule, const std::vector<std::string>& arguments) {
    switch (rule.when) {
        case When::Always:
            return true;
        case When::WithArgument:
            return !arguments.empty();
        case When::ScriptLevelAboveOne: {
            if (arguments.empty()) return false;
            int level = 0;
            const std::string& text = arguments[0];
            const auto [end, error] =
                std::from_chars(text.data(), text.data() + text.size(), level);
            return error != std::errc() || end != text.data() + text.size() || level > 1;
        }
        case When::SetenvOpt:
            return !arguments.empty() && arguments[0] == "opt";
        case When::UnixSocket:
            return arguments.size() >= 2 && arguments[1] == "unix";
    }
    return true;
}

PolicyVerdict refuse(std::string option, std::string reason, std::string file = {}, int line = 0) {
    return PolicyVerdict{false, std::move(option), std::move(reason), std::move(file), line, {}};
}

std::string resolve(const std::string& name, const std::string& directory) {
    if (name.starts_with('/') || directory.empty()) return name;
    return directory + "/" + name;
}

// Reads a configuration file once into `text`; refuses what cannot be a configuration.
PolicyVerdict readConfigurationFile(const std::string& name, const std::string& directory,
                                    std::string& text) {
    const std::string path = resolve(name, directory);
    util::unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd) {
        return refuse("config",
                      std::string("names a file that cannot be read: ") + std::strerror(errno),
                      name);
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return refuse("config", "names something that is not a regular file", name);
    }
    if (static_cast<std::size_t>(st.st_size) > maxConfigurationSize) {
        return refuse("config", "names a file too large to be a configuration", name);
    }
    std::array<char, 4096> chunk{};
    for (;;) {
        const ssize_t count = ::read(fd.get(), chunk.data(), chunk.size());
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) {
            return refuse("config",
                          std::string("names a file that cannot be read: ") + std::strerror(errno),
                          name);
        }
        if (count == 0) break;
        text.append(chunk.data(), static_cast<std::size_t>(count));
        if (text.size() > maxConfigurationSize) {
            return refuse("config", "names a file too large to be a configuration", name);
        }
    }
    return {};
}

// Checks one option with its arguments, apart from the configuration files it names.
PolicyVerdict checkOption(std::string_view option, const std::vector<std::string>& arguments) {
    const auto rule =
        std::find_if(rules.begin(), rules.end(), [&](const Rule& r) { return r.option == option; });
    if (rule != rules.end() && refused(*rule, arguments)) {
        return refuse(std::string(option), std::string(rule->reason));
    }
    return {};
}

// Reads and checks the configuration file named by argv[argument], and keeps its text.
PolicyVerdict checkConfigurationArgument(const std::vector<std::string>& argv, std::size_t argument,
                                         const std::string& directory, PolicyVerdict& allowed) {
    std::string text;
    PolicyVerdict verdict = readConfigurationFile(argv[argument], directory, text);
    if (verdict.allowed) verdict = checkConfigurationText(text, argv[argument]);
    if (verdict.allowed) allowed.configurations.push_back({argument, std::move(text)});
    return verdict;
}

}  // namespace

std::vector<std::string> configurationWords(std::string_view line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quote == '\'') {
            if (c == '\'') {
                quote = 0;
            } else {
                word.push_back(c);
            }
            continue;
        }
        if (c == '\\' && i + 1 < line.size()) {
            word.push_back(line[++i]);
            inWord = true;
            continue;
        }
        if (quote == '"') {
            if (c == '"') {
                quote = 0;
            } else {
                word.push_back(c);
            }
            continue;
        }
        if (c == '"' || c == '\'') {
            quote = c;
            inWord = true;
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v') {
            if (inWord) words.push_back(std::exchange(word, {}));
            inWord = false;
            continue;
        }
        if (!inWord && words.empty() && (c == '#' || c == ';')) break;  // a comment line
        word.push_back(c);
        inWord = true;
    }
    if (inWord) words.push_back(word);
    return words;
}

PolicyVerdict checkConfigurationText(std::string_view text, const std::string& name) {
    std::string inlineEnd;  // the closing tag of the inline block being skipped
    int lineNumber = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++lineNumber;

        const std::vector<std::string> words = configurationWords(line);
        if (words.empty()) continue;
        const std::string& first = words[0];
        if (!inlineEnd.empty()) {
            if (first == inlineEnd) inlineEnd.clear();
            continue;
        }
        // Inline blocks such as <ca>...</ca> hold data, not options.
        if (first.size() > 2 && first.front() == '<' && first.back() == '>' && first[1] != '/') {
            inlineEnd = "</" + first.substr(1);
            continue;
        }
        const std::string_view option =
            std::string_view(first).starts_with("--") ? std::string_view(first).substr(2) : first;
        const std::vector<std::string> arguments(words.begin() + 1, words.end());
        PolicyVerdict verdict = option == "config"
                                    ? refuse("config", "names a further configuration file")
                                    : checkOption(option, arguments);
        if (!verdict.allowed) {
            verdict.file = name;
            verdict.line = lineNumber;
            return verdict;
        }
    }
    return {};
}

PolicyVerdict checkLaunchPolicy(const std::vector<std::string>& argv,
                                const std::string& directory) {
    PolicyVerdict allowed;
    // A lone argument that is not an option names a configuration file.
    if (argv.size() == 2 && !argv[1].starts_with("--")) {
        const PolicyVerdict verdict = checkConfigurationArgument(argv, 1, directory, allowed);
        return verdict.allowed ? allowed : verdict;
    }
    for (std::size_t i = 1; i < argv.size();) {
        const std::string& word = argv[i++];
        if (!word.starts_with("--")) continue;  // a stray argument; OpenVPN refuses it itself
        const std::size_t first = i;
        std::vector<std::string> arguments;
        while (i < argv.size() && !argv[i].starts_with("--"))
            arguments.push_back(argv[i++]);
        const std::string_view option = std::string_view(word).substr(2);
        const PolicyVerdict verdict =
            option == "config"
                ? (arguments.empty() ? PolicyVerdict{}
                                     : checkConfigurationArgument(argv, first, directory, allowed))
                : checkOption(option, arguments);
        if (!verdict.allowed) return verdict;
    }
    return allowed;
}

}  // namespace control
