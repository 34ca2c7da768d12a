// The OpenVPN command line a client sends and the configuration files it names: the
// tokeniser, the working directory taken from the OpenVPN path, and the launch policy's
// reader of command lines and configuration text.
//
// Configuration files named in the input are looked up under a directory that does not exist,
// so that every nested "config" fails to open; inputs that could name one by an absolute path
// are not given to the policy, so that the fuzzer never reads a file of the host.

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "control/launcher.h"
#include "control/policy.h"
#include "fuzz_support.h"

namespace {

const std::string missingDirectory = "/nonexistent-fuzz-dir";

bool absolute(const std::string& word) {
    return word.starts_with('/');
}

// Whether the policy would open an absolute path for this argument vector: any word after
// the program's own may name a configuration file.
bool namesAbsolutePath(const std::vector<std::string>& argv) {
    return argv.size() > 1 && std::any_of(argv.begin() + 1, argv.end(), absolute);
}

// Whether one configuration line names a configuration file by an absolute path.
bool includesAbsolutePath(const std::vector<std::string>& words) {
    return !words.empty() && (words[0] == "config" || words[0] == "--config") &&
           std::any_of(words.begin(), words.end(), absolute);
}

void tokens(std::string_view commandLine) {
    const std::vector<std::string> words = control::tokenizeCommandLine(commandLine);
    std::size_t length = 0;
    for (const std::string& word : words) {
        FUZZ_CHECK(!word.empty() && word.find(' ') == std::string::npos);
        length += word.size();
    }
    // The words are the line's bytes less its spaces, and no more words than runs of them.
    FUZZ_CHECK(length + static_cast<std::size_t>(control::countArgs(commandLine)) ==
               commandLine.size());
    FUZZ_CHECK(words.size() <= control::countArgs(commandLine) + 1);

    if (!namesAbsolutePath(words)) {
        const control::PolicyVerdict verdict = control::checkLaunchPolicy(words, missingDirectory);
        if (!verdict.allowed) FUZZ_CHECK(!verdict.reason.empty());
    }
}

void workingDirectory(std::string_view path) {
    const auto directory = control::workingDirectoryFor(path);
    if (directory) FUZZ_CHECK(directory->size() + 8 == path.size());
}

void configurationText(std::string_view text) {
    std::string_view rest = text;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::vector<std::string> words = control::configurationWords(rest.substr(0, end));
        if (includesAbsolutePath(words)) return;
        for (const std::string& word : words)
            FUZZ_CHECK(word.size() <= text.size());
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    }
    const control::PolicyVerdict verdict = control::checkConfigurationText(text, "fuzz.conf");
    if (!verdict.allowed) {
        FUZZ_CHECK(!verdict.reason.empty() && !verdict.file.empty());
        if (verdict.option == "config") {
            // A nested file, which cannot be opened here, is named with no line; a "config"
            // with an empty name is charged to the line that holds it.
            FUZZ_CHECK(verdict.line == 0 || verdict.file == "fuzz.conf");
        } else {
            FUZZ_CHECK(verdict.file == "fuzz.conf" && verdict.line >= 1);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    struct stat st {};
    if (::stat(missingDirectory.c_str(), &st) == 0) {
        std::fprintf(stderr, "%s exists; the fuzzer needs it absent\n", missingDirectory.c_str());
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::textOf(data, size);
    tokens(text);
    workingDirectory(text);
    configurationText(text);
    return 0;
}
