#include <gtest/gtest.h>

#include "control/access.h"
#include "support.h"

namespace {

// By the host's own users and groups: root, nobody (whose primary group is nogroup) and
// daemon, which every Debian system has.
TEST(ControlGroup, OnlyRootAndTheGroupsMembersMayChangeWhatTheDaemonDoes) {
    const support::Sandbox sandbox;
    const struct {
        std::string group;
        uid_t uid;
        bool mayChange;
    } cases[] = {
        {"", 65534, true},           {"nogroup", 0, true},
        {"nogroup", 65534, true},    {"nogroup", 1, false},
        {"nogroup", 4242424, false},  // no such user
        {"no-such-group", 0, true},  {"no-such-group", 65534, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.group + " " + std::to_string(c.uid));
        control::setControlGroup(c.group);
        EXPECT_EQ(control::mayChange(c.uid), c.mayChange);
    }
    EXPECT_TRUE(sandbox.logged(
        "Control group no-such-group does not exist: only root may change what the daemon does"));
    control::setControlGroup("");
}

}  // namespace
