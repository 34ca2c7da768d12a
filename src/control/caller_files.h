#pragma once

// Files read with the rights of the user who asked for them, and the private copies OpenVPN
// reads instead.

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "control/policy.h"

namespace control {

// Who a client is: the owner of its connection, with that user's groups.
struct Caller {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
};

// The user `uid` with its primary and supplementary groups; none when the user is unknown.
std::optional<Caller> callerOf(uid_t uid);

// An account of the user database: its uid and primary group.
struct Account {
    uid_t uid = 0;
    gid_t gid = 0;
};
std::optional<Account> accountNamed(const std::string& name);
bool accountExists(uid_t uid);

// Reads a regular file of up to `limit` bytes with `caller`'s rights, in a child process that
// has taken them.
FileRead readFileAs(const std::string& path, const Caller& caller, std::size_t limit);
// The path with every link resolved as `caller` may resolve it, in such a child, so that what
// the daemon answers tells nothing of directories only root may enter.
FileRead resolveAs(const std::string& path, const Caller& caller);

// What the private copies may hold. They lie in /run, which other root services write too: no
// launch may fill it, nor all launches under way together.
inline constexpr std::size_t maxCopiesPerLaunch = 32;
inline constexpr std::size_t maxCopyBytesPerLaunch = 4 << 20;
inline constexpr std::size_t maxCopyBytesHeld = 16 << 20;

// The private copies of one launch, in the daemon's runtime directory: root's, mode 0600,
// removed together when this object goes.
class PrivateCopies {
  public:
    explicit PrivateCopies(unsigned launch) : launch_(launch) {}
    PrivateCopies(PrivateCopies&& other) noexcept
        : launch_(other.launch_),
          paths_(std::move(other.paths_)),
          bytes_(std::exchange(other.bytes_, 0)) {
        other.paths_.clear();
    }
    PrivateCopies& operator=(PrivateCopies&& other) noexcept;
    PrivateCopies(const PrivateCopies&) = delete;
    PrivateCopies& operator=(const PrivateCopies&) = delete;
    ~PrivateCopies() { removeAll(); }

    // Writes `text` to a new copy and returns its path, within the bounds above.
    KeptCopy keep(std::string_view text);

  private:
    void removeAll();
    unsigned launch_;
    std::vector<std::string> paths_;
    std::size_t bytes_ = 0;  // what the copies hold, counted in heldCopyBytes too
};

// Removes the copies an earlier run of the daemon left behind.
void removeLeftoverCopies();

}  // namespace control
