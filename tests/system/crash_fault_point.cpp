// The fault point of telvord_crashable, a daemon built for the crash tests alone: the same
// library and entry point as telvord, with this definition in place of the library's empty one
// (core/fault_point.h).
//
//   TELVORD_CRASH_AT=OPERATION:N  right after the Nth record of OPERATION is on disk, ends the
//                                 daemon and everything in its process group with SIGKILL, as
//                                 the service manager ends the whole control group after a
//                                 crash;
//   TELVORD_CRASH_LOG=PATH        appends "OPERATION:N" to PATH for every record, so that a
//                                 test learns which points there are.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "core/fault_point.h"
#include "util/io.h"
#include "util/unique_fd.h"

namespace core {
namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

}  // namespace

void faultPoint(std::string_view operation, int action) {
    static const std::string crashAt = environment("TELVORD_CRASH_AT");
    static const std::string log = environment("TELVORD_CRASH_LOG");
    const std::string point = std::string(operation) + ":" + std::to_string(action);
    if (!log.empty()) {
        const util::unique_fd file(
            ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
        if (file) util::writeAll(file.get(), point + "\n");
    }
    if (point != crashAt) return;
    ::kill(0, SIGKILL);
    ::raise(SIGKILL);
}

}  // namespace core
