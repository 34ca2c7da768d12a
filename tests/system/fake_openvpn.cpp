// Stands in for OpenVPN in the system tests. It records how the daemon started it (its
// argument vector, its working directory and the descriptors it inherited) in
// <its own directory>/records/<pid>, and then waits until a signal ends it. When the file
// <its own directory>/exit-at-once exists, it exits right after recording instead; when
// <its own directory>/ignore-term does, SIGTERM does not end it.
//
// A compiled program rather than a script: a script loses argv[0] to its interpreter, and
// the interpreter opens descriptors of its own.

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// The descriptors open now, each with what it refers to; the listing's own is left out.
std::vector<std::string> openDescriptors() {
    std::vector<std::string> result;
    DIR* directory = ::opendir("/proc/self/fd");
    if (directory == nullptr) return {"? cannot list"};
    const int own = ::dirfd(directory);
    while (const dirent* entry = ::readdir(directory)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || std::atoi(name.c_str()) == own) continue;
        char target[PATH_MAX] = {};
        const std::string link = "/proc/self/fd/" + name;
        const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
        result.push_back(name + " " + (length > 0 ? std::string(target, length) : "?"));
    }
    ::closedir(directory);
    return result;
}

std::string ownDirectory() {
    char path[PATH_MAX] = {};
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) std::exit(2);
    std::string text(path, static_cast<std::size_t>(length));
    return text.substr(0, text.find_last_of('/'));
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Looked at first, before this program opens anything itself.
    const std::vector<std::string> descriptors = openDescriptors();
    char cwd[PATH_MAX] = {};
    if (::getcwd(cwd, sizeof cwd) == nullptr) cwd[0] = '?';

    std::string record;
    for (int i = 0; i < argc; ++i)
        record += std::string("arg ") + argv[i] + "\n";
    record += std::string("cwd ") + cwd + "\n";
    for (const std::string& descriptor : descriptors)
        record += "fd " + descriptor + "\n";

    // Written under a temporary name and renamed, so that a test never reads half a record.
    const std::string directory = ownDirectory();
    const std::string name = directory + "/records/" + std::to_string(::getpid());
    const std::string temporary = name + ".partial";
    FILE* out = std::fopen(temporary.c_str(), "we");
    if (out == nullptr) return 3;
    std::fputs(record.c_str(), out);
    if (std::fclose(out) != 0 || std::rename(temporary.c_str(), name.c_str()) != 0) return 3;

    if (exists(directory + "/exit-at-once")) return 0;
    if (exists(directory + "/ignore-term")) ::signal(SIGTERM, SIG_IGN);
    for (;;)
        ::pause();
}
