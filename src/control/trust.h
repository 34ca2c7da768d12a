#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace control {

struct TrustVerdict {
    bool trusted = false;
    std::string resolved;  // the path with every link resolved; what is run
    std::string reason;    // why it is not trusted
};

// Whether the program at `path` may be run as root: after every link is resolved, it must be a
// regular file owned by root that neither group nor others may write, and every directory
// above it, up to /, must be owned by root and not writable by group or others unless it has
// the sticky bit. Otherwise someone other than root could have put their code there.
// `alsoTrusted` names one more owner to accept beside root, for tests.
TrustVerdict checkTrustedProgram(const std::string& path, uid_t alsoTrusted = 0);

// The same for a directory: only root can have put what lies in it there.
TrustVerdict checkTrustedDirectory(const std::string& path, uid_t alsoTrusted = 0);

// Whether a trusted program is OpenVPN: a file named "openvpn", or one of `listed`.
bool isOpenVpnProgram(const std::string& resolved, const std::vector<std::string>& listed);

// Whether `path` lies in one of the trusted directories `directories`, where the
// administrator keeps configurations for users to start.
bool inTrustedDirectory(const std::string& path, const std::vector<std::string>& directories,
                        uid_t alsoTrusted = 0);

}  // namespace control
