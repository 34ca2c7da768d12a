// The OpenVPN command line a client sends and the configuration files it names: the
// tokeniser, the working directory taken from the OpenVPN path, the launch policy and the
// reader of configuration text. The policy's files come from memory: every file it reads holds
// the input itself, so that nothing of the host is ever opened.

#include <cstdint>
#include <string>
#include <vector>

#include "control/launcher.h"
#include "control/openvpn_config.h"
#include "control/policy.h"
#include "fuzz_support.h"

namespace {

void tokens(std::string_view commandLine) {
    std::vector<std::string> words = control::tokenizeCommandLine(commandLine);
    std::size_t length = 0;
    for (const std::string& word : words) {
        FUZZ_CHECK(!word.empty() && word.find(' ') == std::string::npos);
        length += word.size();
    }
    // The words are the line's bytes less its spaces, and no more words than runs of them.
    FUZZ_CHECK(length + static_cast<std::size_t>(control::countArgs(commandLine)) ==
               commandLine.size());
    FUZZ_CHECK(words.size() <= control::countArgs(commandLine) + 1);

    const auto read = [&](const std::string&) {
        return control::FileRead{std::string(commandLine), {}};
    };
    const control::LaunchFiles files{
        .read = read,
        .configuration =
            [&](const std::string&) {
                return control::OpenedConfiguration{read({}), {}};
            },
        .keep =
            [](std::string_view) {
                return control::KeptCopy{"/run/copy", {}};
            },
        .deviceExists = [](const std::string& name) { return name == "eth0"; },
    };
    const std::size_t count = words.size();
    const control::PolicyVerdict verdict = control::checkLaunchPolicy(words, "/fuzz", files);
    FUZZ_CHECK(words.size() == count);
    if (!verdict.allowed) FUZZ_CHECK(!verdict.reason.empty());
}

void workingDirectory(std::string_view path) {
    const auto directory = control::workingDirectoryFor(path);
    if (directory) FUZZ_CHECK(directory->size() + 8 == path.size());
}

// What OpenVPN is handed reads back as exactly the options that were checked.
void sameOptions(const std::vector<control::Directive>& a,
                 const std::vector<control::Directive>& b) {
    FUZZ_CHECK(a.size() == b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        FUZZ_CHECK(a[i].words == b[i].words && a[i].block == b[i].block);
        FUZZ_CHECK(a[i].inlineText == b[i].inlineText);
        sameOptions(a[i].connection, b[i].connection);
    }
}

void configurationText(std::string_view text) {
    const auto reading = control::readOpenVpnConfiguration(text, control::mayBeInline);
    if (!reading.refusal.empty()) {
        FUZZ_CHECK(reading.line >= 1);
        return;
    }
    const std::optional<std::string> written =
        control::writeOpenVpnConfiguration(reading.directives);
    if (!written) return;
    const auto again = control::readOpenVpnConfiguration(*written, control::mayBeInline);
    FUZZ_CHECK(again.refusal.empty());
    sameOptions(reading.directives, again.directives);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::textOf(data, size);
    tokens(text);
    workingDirectory(text);
    configurationText(text);
    return 0;
}
