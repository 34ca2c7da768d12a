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
constexpr uid_t user = 1000;

ProcessEntry process(pid_t pid, pid_t parent, uid_t uid = 0) {
    ProcessEntry entry;
    entry.pid = pid;
    entry.parent = parent;
    entry.examined = true;
    entry.uids = {uid, uid, uid, uid};
    return entry;
}

ProcessEntry holding(ProcessEntry entry) {
    entry.holdsSocket = true;
    return entry;
}

ProcessEntry hidden(ProcessEntry entry) {
    entry.examined = false;
    return entry;
}

// A process in a user namespace that `owner` owns, which maps its users to `uid` and up.
ProcessEntry inNamespace(ProcessEntry entry, std::optional<uid_t> owner) {
    entry.foreignNamespace = true;
    entry.namespaceOwner = owner;
    return entry;
}

TEST(Admission, AConnectionIsServedAsTheUserWhoHoldsItAndNeverWhenTheDaemonsDescendantsDo) {
    // init (1), the daemon (100), its OpenVPN (200) and what that runs (300), a client (50).
    const ProcessEntry init = process(1, 0), daemon = process(daemonPid, 1);
    const ProcessEntry openVpn = process(200, daemonPid), route = process(300, 200);
    const ProcessEntry client = process(50, 1, user);
    const struct {
        std::vector<ProcessEntry> table;
        uid_t socketUid;
        std::string refusal;
        uid_t owner;
    } cases[] = {
        {{init, daemon, openVpn, holding(client)}, user, "", user},
        {{init, daemon, holding(openVpn), client},
         0,
         "its socket is held by PID 200, which the daemon started",
         0},
        {{init, daemon, openVpn, holding(route), holding(client)},
         user,
         "its socket is held by PID 300, which the daemon started",
         0},
        {{init, holding(daemon), client}, 0, "the daemon itself holds its socket", 0},
        {{init, daemon, openVpn, client}, user, "no process can be found that holds its socket", 0},
        {{init, daemon, hidden(openVpn), holding(client)},
         user,
         "PID 200, which the daemon started, cannot be examined",
         0},
        {{init, daemon, hidden(process(60, 1)), holding(client)}, user, "", user},
        // Parents read while processes came and went may form a loop; it ends.
        {{holding(process(5, 6)), process(6, 5)}, 0, "", 0},
        // A socket made in a user namespace counts as the namespace's owner, whatever uid the
        // namespace maps to: here 100000, which may be another account of the host.
        {{init, daemon, holding(inNamespace(process(70, 50, 100000), user))}, 100000, "", user},
        {{init, daemon, holding(inNamespace(process(70, 50, 100000), std::nullopt))},
         100000,
         "PID 70 holds its socket in a user namespace whose owner cannot be told",
         0},
        {{init, daemon, holding(inNamespace(process(70, 50, 100000), user)),
          holding(inNamespace(process(71, 1, 200000), 1001))},
         100000,
         "its socket is held in user namespaces of different users",
         0},
        // Handed out of the namespace to a process of its owner's, it is nobody's; root may
        // make a socket as anyone.
        {{init, daemon, holding(client)},
         100000,
         "its socket, made as uid 100000, is held by no process of that user",
         0},
        {{init, daemon, holding(process(80, 1, 0))}, 100000, "", 100000},
    };
    for (const auto& c : cases) {
        const control::Admission admission = judgeHolders(c.table, daemonPid, c.socketUid, true);
        EXPECT_EQ(admission.admitted, c.refusal.empty()) << c.refusal;
        EXPECT_EQ(admission.refusal, c.refusal);
        EXPECT_EQ(admission.owner, c.owner) << c.refusal;
    }
}

TEST(Admission, TheProcessTableFindsWhoHoldsASocket) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    const util::unique_fd mine(fds[0]), other(fds[1]);
    struct stat st {};
    ASSERT_EQ(::fstat(mine.get(), &st), 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    const auto table =
        control::readProcessTable({st.st_ino, ::geteuid(), ::getpid(), true, deadline});
    ASSERT_TRUE(table.has_value());
    // This process holds it: refused were it the daemon, admitted for any other daemon.
    EXPECT_EQ(judgeHolders(*table, ::getpid(), ::geteuid(), true).refusal,
              "the daemon itself holds its socket");
    EXPECT_TRUE(judgeHolders(*table, INT_MAX, ::geteuid(), true).admitted);
    // Past its deadline the table is not read at all.
    errno = 0;
    EXPECT_FALSE(control::readProcessTable(
        {st.st_ino, ::geteuid(), ::getpid(), true, std::chrono::steady_clock::now()}));
    EXPECT_EQ(errno, ETIMEDOUT);
}

}  // namespace
