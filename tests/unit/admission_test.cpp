#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>

#include "control/admission.h"
#include "util/unique_fd.h"

namespace {

using control::judgeHolders;
using control::ProcessEntry;

constexpr pid_t daemonPid = 100;

TEST(Admission, AConnectionIsServedOnlyWhenSomeoneHoldsItAndNoneOfTheDaemonsDescendantsDoes) {
    // init (1), the daemon (100), its OpenVPN (200) and what that runs (300), a client (50).
    const ProcessEntry init{1, 0, true, false}, daemon{daemonPid, 1, true, false};
    const ProcessEntry openVpn{200, daemonPid, true, false}, route{300, 200, true, false};
    const ProcessEntry client{50, 1, true, false};
    const auto holding = [](ProcessEntry process) {
        process.holdsSocket = true;
        return process;
    };
    const auto hidden = [](ProcessEntry process) {
        process.examined = false;
        return process;
    };
    const struct {
        std::vector<ProcessEntry> table;
        std::string refusal;
    } cases[] = {
        {{init, daemon, openVpn, holding(client)}, ""},
        {{init, daemon, holding(openVpn), client},
         "its socket is held by PID 200, which the daemon started"},
        {{init, daemon, openVpn, holding(route), holding(client)},
         "its socket is held by PID 300, which the daemon started"},
        {{init, holding(daemon), client}, "the daemon itself holds its socket"},
        {{init, daemon, openVpn, client}, "no process can be found that holds its socket"},
        {{init, daemon, hidden(openVpn), holding(client)},
         "PID 200, which the daemon started, cannot be examined"},
        {{init, daemon, hidden(ProcessEntry{60, 1, true, false}), holding(client)}, ""},
        // Parents read while processes came and went may form a loop; it ends.
        {{ProcessEntry{5, 6, true, true}, ProcessEntry{6, 5, true, false}}, ""},
    };
    for (const auto& c : cases) {
        const control::Admission admission = judgeHolders(c.table, daemonPid);
        EXPECT_EQ(admission.admitted, c.refusal.empty()) << c.refusal;
        EXPECT_EQ(admission.refusal, c.refusal);
    }
}

TEST(Admission, TheProcessTableFindsWhoHoldsASocket) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    const util::unique_fd mine(fds[0]), other(fds[1]);
    struct stat st {};
    ASSERT_EQ(::fstat(mine.get(), &st), 0);
    const auto table = control::readProcessTable(st.st_ino);
    ASSERT_TRUE(table.has_value());
    // This process holds it: refused were it the daemon, admitted for any other daemon.
    EXPECT_EQ(judgeHolders(*table, ::getpid()).refusal, "the daemon itself holds its socket");
    EXPECT_TRUE(judgeHolders(*table, INT_MAX).admitted);
}

}  // namespace
