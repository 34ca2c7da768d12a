#include "control/trust.h"

#include <elf.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "util/io.h"
#include "util/path.h"

namespace control {
namespace {

bool trustedOwner(uid_t owner, uid_t alsoTrusted) {
    return owner == 0 || owner == alsoTrusted;
}

bool writableByOthers(mode_t mode) {
    return (mode & (S_IWGRP | S_IWOTH)) != 0;
}

TrustVerdict refuse(std::string resolved, std::string reason) {
    return TrustVerdict{false, std::move(resolved), std::move(reason), {}};
}

// The ELF identification and machine of the file open at `fd`; none when it is no ELF file.
struct ElfKind {
    unsigned char elfClass = 0, data = 0;
    std::uint16_t machine = 0, type = 0;
    bool operator==(const ElfKind&) const = default;
};

std::optional<ElfKind> elfKind(int fd) {
    Elf64_Ehdr header{};  // the fields read lie at the same places in both classes
    if (::pread(fd, &header, sizeof header, 0) < static_cast<ssize_t>(EI_NIDENT + 4) ||
        std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) {
        return std::nullopt;
    }
    return ElfKind{header.e_ident[EI_CLASS], header.e_ident[EI_DATA], header.e_machine,
                   header.e_type};
}

// Whether the file open at `fd` is an executable of the machine the daemon itself runs on.
bool nativeExecutable(int fd) {
    static const std::optional<ElfKind> own = [] {
        const util::unique_fd self(::open("/proc/self/exe", O_RDONLY | O_CLOEXEC));
        return self ? elfKind(self.get()) : std::nullopt;
    }();
    const std::optional<ElfKind> kind = elfKind(fd);
    if (!own || !kind || (kind->type != ET_EXEC && kind->type != ET_DYN)) return false;
    return kind->elfClass == own->elfClass && kind->data == own->data &&
           kind->machine == own->machine;
}

std::optional<std::string> realPath(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    if (!real) return std::nullopt;
    return std::string(real.get());
}

// Why some directory from `directory` up to / could hold what someone other than root put
// there; none when no directory could.
std::optional<std::string> untrustedDirectory(std::string directory, uid_t alsoTrusted) {
    for (;;) {
        struct stat st {};
        if (::stat(directory.c_str(), &st) != 0) {
            return "lies under " + directory + ", which cannot be examined";
        }
        if (!trustedOwner(st.st_uid, alsoTrusted)) {
            return "lies under " + directory + ", which is not owned by root";
        }
        if (writableByOthers(st.st_mode) && (st.st_mode & S_ISVTX) == 0) {
            return "lies under " + directory + ", which group or others may write";
        }
        if (directory == "/") return std::nullopt;
        directory = util::parentDirectory(directory);
    }
}

// openat2(2): opens `name` from `directory` as `resolve` allows, close-on-exec. The kernel
// asks for another try when a rename raced with a lookup it holds beneath a directory. Where
// the call is missing, the name is walked instead (openWalking).
int openAt(int directory, const char* name, std::uint64_t flags, std::uint64_t resolve) {
    open_how how{};
    how.flags = flags | O_CLOEXEC;
    how.resolve = resolve;
    for (int attempt = 0;; ++attempt) {
        const long fd = ::syscall(SYS_openat2, directory, name, &how, sizeof how);
        if (fd < 0 && errno == ENOSYS) return openWalking(directory, name, flags, resolve);
        if (fd >= 0 || (errno != EAGAIN && errno != EINTR) || attempt == 8) {
            return static_cast<int>(fd);
        }
    }
}

// Opens one component below `at` without following a link: a link is ELOOP.
int openComponent(int at, const std::string& component, std::uint64_t flags) {
    const int fd =
        ::openat(at, component.c_str(), static_cast<int>(flags) | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 || (flags & O_PATH) == 0) return fd;
    // O_PATH with O_NOFOLLOW opens a link itself.
    struct stat st {};
    if (::fstat(fd, &st) == 0 && !S_ISLNK(st.st_mode)) return fd;
    ::close(fd);
    errno = ELOOP;
    return -1;
}

// What an opened regular file of up to `limit` bytes holds.
FileRead readOpened(int file, std::size_t limit) {
    struct stat st {};
    if (::fstat(file, &st) != 0) return {std::nullopt, std::strerror(errno)};
    if (!S_ISREG(st.st_mode)) return {std::nullopt, "it is not a regular file"};
    std::string text;
    if (!util::readAll(file, text, limit)) {
        return {std::nullopt, errno == EFBIG ? "it is too large" : std::strerror(errno)};
    }
    return {std::move(text), {}};
}

// The same as untrustedDirectory for the directory open at `directory`, whose path was `path`,
// walking up by descriptors; it must also lie in one of `listed`.
std::optional<std::string> untrustedDirectoryAt(int directory, std::string path,
                                                const std::vector<std::string>& listed,
                                                uid_t alsoTrusted) {
    std::vector<std::pair<dev_t, ino_t>> trusted;
    for (const std::string& name : listed) {
        struct stat st {};
        if (!name.empty() && ::stat(name.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            trusted.emplace_back(st.st_dev, st.st_ino);
    }
    util::unique_fd current(openAt(directory, ".", O_PATH | O_DIRECTORY, 0));
    bool inside = false;
    for (;;) {
        struct stat st {};
        if (!current || ::fstat(current.get(), &st) != 0) {
            return "lies under " + path + ", which cannot be examined";
        }
        if (!trustedOwner(st.st_uid, alsoTrusted)) {
            return "lies under " + path + ", which is not owned by root";
        }
        if (writableByOthers(st.st_mode) && (st.st_mode & S_ISVTX) == 0) {
            return "lies under " + path + ", which group or others may write";
        }
        inside = inside || std::find(trusted.begin(), trusted.end(),
                                     std::pair(st.st_dev, st.st_ino)) != trusted.end();
        util::unique_fd parent(::openat(current.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        struct stat up {};
        if (!parent || ::fstat(parent.get(), &up) != 0) {
            return "lies under " + path + ", whose parent cannot be examined";
        }
        if (up.st_dev == st.st_dev && up.st_ino == st.st_ino) break;  // the root
        current = std::move(parent);
        path = util::parentDirectory(path);
    }
    if (!inside) return std::string("lies in no directory of openvpnconfigdirs");
    return std::nullopt;
}

}  // namespace

int openWalking(int directory, const std::string& name, std::uint64_t flags,
                std::uint64_t resolve) {
    if (resolve == 0) return ::openat(directory, name.c_str(), static_cast<int>(flags) | O_CLOEXEC);
    if (name.starts_with('/') && (resolve & RESOLVE_BENEATH) != 0) {
        errno = EXDEV;
        return -1;
    }
    std::string path = name;
    if (name.starts_with('/') && (resolve & RESOLVE_NO_SYMLINKS) == 0) {
        // Links are allowed, magic ones not: the name with every link resolved holds none
        // (a magic link resolves to what it stands for, or to no path at all), and the walk
        // below refuses a link that a rename puts in its way after this.
        const std::optional<std::string> real = realPath(name);
        if (!real) return -1;
        path = *real;
    }
    util::unique_fd held;
    int at = directory;
    if (path.starts_with('/')) {
        held.reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!held) return -1;
        at = held.get();
    }
    std::vector<std::string> components;
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        std::string component = path.substr(start, end - start);
        if (component == ".." && (resolve & RESOLVE_BENEATH) != 0) {
            errno = EXDEV;
            return -1;
        }
        if (!component.empty() && component != ".") components.push_back(std::move(component));
        start = end + 1;
    }
    if (components.empty()) components.emplace_back(".");
    for (std::size_t i = 0; i + 1 < components.size(); ++i) {
        util::unique_fd next(openComponent(at, components[i], O_PATH | O_DIRECTORY));
        if (!next) return -1;
        held = std::move(next);
        at = held.get();
    }
    return openComponent(at, components.back(), flags);
}

TrustVerdict checkTrustedProgram(const std::string& path, uid_t alsoTrusted) {
    if (path.empty()) return refuse({}, "no path");
    const std::optional<std::string> real = realPath(path);
    if (!real) return refuse({}, std::string("cannot be resolved: ") + std::strerror(errno));
    const std::string& resolved = *real;

    // Judged by the file opened, which is the file run.
    util::unique_fd program(
        ::open(resolved.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    if (!program || ::fstat(program.get(), &st) != 0) {
        return refuse(resolved, std::string("cannot be examined: ") + std::strerror(errno));
    }
    if (!S_ISREG(st.st_mode)) return refuse(resolved, "is not a regular file");
    if (!trustedOwner(st.st_uid, alsoTrusted)) return refuse(resolved, "is not owned by root");
    if (writableByOthers(st.st_mode)) return refuse(resolved, "is writable by group or others");
    if (auto reason = untrustedDirectory(util::parentDirectory(resolved), alsoTrusted)) {
        return refuse(resolved, std::move(*reason));
    }
    if (!nativeExecutable(program.get())) {
        return refuse(resolved,
                      "is no executable of this machine (a script, or a program run "
                      "through an interpreter)");
    }
    return TrustVerdict{true, resolved, {}, std::move(program)};
}

bool isOpenVpnProgram(const std::string& resolved, const std::vector<std::string>& listed) {
    if (resolved.substr(resolved.find_last_of('/') + 1) == "openvpn") return true;
    return std::any_of(listed.begin(), listed.end(),
                       [&](const std::string& program) { return realPath(program) == resolved; });
}

bool claimsTrustedDirectory(const std::string& path, const std::vector<std::string>& directories) {
    return std::any_of(directories.begin(), directories.end(), [&](const std::string& listed) {
        return !listed.empty() && path.starts_with(listed.ends_with('/') ? listed : listed + "/");
    });
}

bool holdsParentReference(const std::string& path) {
    return ("/" + path + "/").find("/../") != std::string::npos;
}

std::optional<ProvidedConfiguration> openProvidedConfiguration(
    const std::string& path, const std::vector<std::string>& directories, std::size_t limit,
    std::string& reason, uid_t alsoTrusted) {
    // Links are resolved once, here, where the administrator may have made them. From then on
    // nothing is looked up by name again: every later step stands on a descriptor.
    const std::optional<std::string> real = realPath(path);
    if (!real) {
        reason = std::string("cannot be resolved: ") + std::strerror(errno);
        return std::nullopt;
    }
    const std::string parent = util::parentDirectory(*real);
    util::unique_fd directory(openAt(AT_FDCWD, parent.c_str(), O_PATH | O_DIRECTORY,
                                     RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS));
    util::unique_fd file(
        directory ? openAt(directory.get(), real->substr(real->find_last_of('/') + 1).c_str(),
                           O_RDONLY | O_NOCTTY | O_NONBLOCK, RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS)
                  : -1);
    struct stat st {};
    if (!file || ::fstat(file.get(), &st) != 0) {
        reason = std::string("cannot be opened: ") + std::strerror(errno);
        return std::nullopt;
    }
    std::optional<std::string> why;
    if (!S_ISREG(st.st_mode)) {
        why = "is not a regular file";
    } else if (!trustedOwner(st.st_uid, alsoTrusted)) {
        why = "is not owned by root";
    } else if (writableByOthers(st.st_mode)) {
        why = "is writable by group or others";
    } else {
        why = untrustedDirectoryAt(directory.get(), parent, directories, alsoTrusted);
    }
    if (why) {
        reason = std::move(*why);
        return std::nullopt;
    }
    FileRead read = readOpened(file.get(), limit);
    if (!read.text) {
        reason = "cannot be read: " + read.error;
        return std::nullopt;
    }
    return ProvidedConfiguration{std::move(*read.text), std::move(directory)};
}

FileRead readProvidedName(int directory, const std::string& name, std::size_t limit) {
    const bool absolute = name.starts_with('/');
    util::unique_fd file(openAt(absolute ? AT_FDCWD : directory, name.c_str(),
                                O_RDONLY | O_NOCTTY | O_NONBLOCK,
                                RESOLVE_NO_MAGICLINKS | (absolute ? 0 : RESOLVE_BENEATH)));
    if (!file) {
        return {std::nullopt, errno == EXDEV ? "it lies outside the configuration's directory"
                                             : std::strerror(errno)};
    }
    return readOpened(file.get(), limit);
}

}  // namespace control
