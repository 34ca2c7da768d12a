#pragma once

#include <sys/types.h>
#include <sys/wait.h>

#include <cerrno>

namespace util {

// Waits for the child `child` to end, going on after interruptions, and reaps it; its wait
// status (0 when it was no child of ours).
inline int reap(pid_t child) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

}  // namespace util
