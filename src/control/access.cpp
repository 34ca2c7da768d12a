#include "control/access.h"

#include <grp.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <vector>

#include "control/caller_files.h"
#include "core/log.h"
#include "util/no_destructor.h"

namespace control {
namespace {

struct ControlGroup {
    std::string name;          // empty: every user may change what the daemon does
    std::optional<gid_t> gid;  // none for a group that does not exist: root alone may
};

// Set at start, before the control loop; only read afterwards.
ControlGroup& controlGroup() {
    static util::NoDestructor<ControlGroup> instance;
    return instance.get();
}

std::optional<gid_t> groupId(const std::string& name) {
    std::vector<char> buffer(4096);
    for (;;) {
        group entry{};
        group* found = nullptr;
        const int error = ::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0 || found == nullptr) return std::nullopt;
        return entry.gr_gid;
    }
}

}  // namespace

void setControlGroup(const std::string& name) {
    ControlGroup& group = controlGroup();
    group = ControlGroup{name, std::nullopt};
    if (name.empty()) return;
    group.gid = groupId(name);
    // The configuration takes no name with a blank or a control character.
    if (group.gid) {
        core::logMessage(core::levelInfo,
                         "Only root and members of group %s may change what the daemon does",
                         name.c_str());
    } else {
        core::logMessage(core::levelError,
                         "Control group %s does not exist: only root may change what the daemon "
                         "does",
                         name.c_str());
    }
}

bool mayChange(uid_t uid) {
    const ControlGroup& group = controlGroup();
    if (group.name.empty() || uid == 0) return true;
    if (!group.gid) return false;
    const std::optional<Caller> caller = callerOf(uid);
    return caller && std::find(caller->groups.begin(), caller->groups.end(), *group.gid) !=
                         caller->groups.end();
}

}  // namespace control
