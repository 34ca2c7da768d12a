#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <map>

#include "control/admission.h"
#include "util/unique_fd.h"

namespace {

using control::judgeHolders;
using control::ProcessEntry;

constexpr pid_t daemonPid = 100;

ProcessEntry process(pid_t pid, pid_t parent) {
    ProcessEntry entry;
    entry.pid = pid;
    entry.parent = parent;
    entry.examined = true;
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

TEST(Admission, AConnectionIsServedOnlyWhenSomeoneHoldsItAndNoneOfTheDaemonsDescendantsDoes) {
    // init (1), the daemon (100), its OpenVPN (200) and what that runs (300), a client (50).
    const ProcessEntry init = process(1, 0), daemon = process(daemonPid, 1);
    const ProcessEntry openVpn = process(200, daemonPid), route = process(300, 200);
    const ProcessEntry client = process(50, 1);
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
        {{init, daemon, hidden(process(60, 1)), holding(client)}, ""},
        // Parents read while processes came and went may form a loop; it ends.
        {{holding(process(5, 6)), process(6, 5)}, ""},
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
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    const auto table = control::readProcessTable({st.st_ino, ::geteuid(), ::getpid(), deadline});
    ASSERT_TRUE(table.has_value());
    // This process holds it: refused were it the daemon, admitted for any other daemon.
    EXPECT_EQ(judgeHolders(*table, ::getpid()).refusal, "the daemon itself holds its socket");
    EXPECT_TRUE(judgeHolders(*table, INT_MAX).admitted);
    // Past its deadline the table is not read at all.
    errno = 0;
    EXPECT_FALSE(control::readProcessTable(
        {st.st_ino, ::geteuid(), ::getpid(), std::chrono::steady_clock::now()}));
    EXPECT_EQ(errno, ETIMEDOUT);
}

// A uid of a user's subordinate range is that user's: one of their user namespaces maps to
// it, however deeply nested. Where it could also be an account, nobody can tell.
TEST(Admission, AUidOfASubordinateRangeCountsAsItsOwnerOrIsRefusedWhereItCouldBeAnother) {
    const auto ranges = control::parseSubordinateRanges(
        "bob:100000:65536\n1001:200000:65536\nroot:300000:65536\ncarol:200000:10\n"
        "broken\n:1:2\nmallory:x:5\nmallory:1:0\nghost:400000:10\n");
    ASSERT_EQ(ranges.size(), 5u);
    const std::map<std::string, uid_t> users = {{"bob", 1000}, {"carol", 1002}, {"root", 0}};
    const auto userId = [&](const std::string& name) -> std::optional<uid_t> {
        const auto found = users.find(name);
        if (found == users.end()) return std::nullopt;
        return found->second;
    };
    const auto isAccount = [](uid_t uid) { return uid < 100000 || uid == 165535 || uid == 300001; };
    const struct {
        uid_t uid;
        std::optional<uid_t> owner;
        std::string refusal;
    } cases[] = {
        {0, 0, ""},
        {1000, 1000, ""},
        {100000, 1000, ""},
        {165534, 1000, ""},
        {165536, 165536, ""},
        {200020, 1001, ""},
        {165535, std::nullopt,
         "uid 165535 is an account and lies in the subordinate range of uid 1000: which of them "
         "made the socket cannot be told"},
        {200005, std::nullopt, "uid 200005 lies in the subordinate ranges of several users"},
        {300000, 300000, ""},
        {300001, std::nullopt,
         "uid 300001 is an account and lies in a subordinate range of root's: which of them made "
         "the socket cannot be told"},
        {400001, std::nullopt,
         "uid 400001 lies in the subordinate range of ghost, who is no known user"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.uid);
        const control::Ownership ownership = control::ownerOf(c.uid, ranges, userId, isAccount);
        EXPECT_EQ(ownership.owner, c.owner);
        EXPECT_EQ(ownership.refusal, c.refusal);
    }
}

}  // namespace
