#include "routing/runner.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "core/paths.h"
#include "routing/kernel.h"
#include "util/words.h"

extern char** environ;

namespace routing {

bool useIpTool() {
    for (const std::string& program : core::paths().routePrograms) {
        struct stat st {};
        if (::stat(program.c_str(), &st) == 0) return false;
    }
    return true;
}

std::string formatCommand(const char* format, ...) {
    std::array<char, commandBufferSize> buffer{};
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    va_end(args);
    return buffer.data();
}

int runCommand(std::string_view command) {
    return kernel().run(command.substr(0, commandBufferSize - 1));
}

std::vector<std::string> commandWords(std::string_view command) {
    return util::spaceSeparatedWords(command);
}

int spawnCommand(std::string_view command) {
    std::vector<std::string> words = commandWords(command);
    if (words.empty()) return spawnFailureStatus;
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t child = -1;
    if (::posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        return spawnFailureStatus;
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return spawnFailureStatus;
    }
    return status;
}

}  // namespace routing
