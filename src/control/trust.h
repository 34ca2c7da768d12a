#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "control/policy.h"
#include "util/unique_fd.h"

namespace control {

struct TrustVerdict {
    bool trusted = false;
    std::string resolved;     // the path with every link resolved
    std::string reason;       // why it is not trusted
    util::unique_fd program;  // the file judged, open: what is run
};

// Whether the program at `path` may be run as root: after every link is resolved, it must be a
// regular file owned by root that neither group nor others may write, and every directory
// above it, up to /, must be owned by root and not writable by group or others unless it has
// the sticky bit; otherwise someone other than root could have put their code there. It must
// also be an executable of this machine (ELF, of the daemon's own class, byte order and
// machine): a script, or a program the kernel hands to an interpreter of binfmt_misc, would
// run that interpreter with what the file says. `alsoTrusted` names one more owner to accept
// beside root, for tests.
TrustVerdict checkTrustedProgram(const std::string& path, uid_t alsoTrusted = 0);

// Whether a trusted program is OpenVPN: a file named "openvpn", or one of `listed`.
bool isOpenVpnProgram(const std::string& resolved, const std::vector<std::string>& listed);

// Whether `path`, as written, names a file in one of `directories`, where the administrator
// keeps configurations for users to start; and whether it gets there through "..", which
// could lead out again.
bool claimsTrustedDirectory(const std::string& path, const std::vector<std::string>& directories);
bool holdsParentReference(const std::string& path);

// A configuration the administrator provided, opened once.
struct ProvidedConfiguration {
    std::string text;
    util::unique_fd directory;  // the directory the file really lies in
};

// Opens the configuration at `path` as root and decides from the opened file whether the
// administrator provided it: a regular file owned by root that neither group nor others may
// write, in a directory that lies in one of `directories`, each directory from it up to /
// owned by root and not writable by group or others unless sticky. Its text is read from that
// descriptor. None, with `reason` set, when it is not such a file.
std::optional<ProvidedConfiguration> openProvidedConfiguration(
    const std::string& path, const std::vector<std::string>& directories, std::size_t limit,
    std::string& reason, uid_t alsoTrusted = 0);

// Reads, as root, a name that a provided configuration holds: an absolute name as it stands,
// a relative one beneath `directory`, the configuration's own, never through a link that leads
// out of it.
FileRead readProvidedName(int directory, const std::string& name, std::size_t limit);

// What the lookups above do where openat2(2) is missing (an older kernel, or a system call
// filter that predates it and answers ENOSYS): `name` is walked from `directory` (from / when
// absolute) one component at a time, none of them followed if it is a link; under
// RESOLVE_BENEATH an absolute name or ".." is refused with EXDEV. Stricter than openat2: a link
// beneath the configuration's directory is refused too. An absolute name without
// RESOLVE_NO_SYMLINKS is resolved first. `flags` as open(2) takes them; close-on-exec is added.
int openWalking(int directory, const std::string& name, std::uint64_t flags, std::uint64_t resolve);

}  // namespace control
