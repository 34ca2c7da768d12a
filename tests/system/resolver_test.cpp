// The resolver file override on a file system that runs full: whatever fails, the system's own
// resolver file survives, either in place or in its backup.

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "core/log.h"
#include "dns/resolver.h"
#include "system_test.h"

namespace systest {
namespace {

constexpr const char* resolverFile = "/etc/resolv.conf";
constexpr const char* backupFile = "/etc/resolv.conf.telvord";
constexpr const char* fillerFile = "/etc/filler";

bool exists(const char* path) {
    struct stat st {};
    return ::lstat(path, &st) == 0;
}

// /etc is a tmpfs of 64 KiB, in this test's own mount namespace only.
class ResolverOnSmallDisk : public SystemTest {
  protected:
    void SetUp() override {
        SystemTest::SetUp();
        if (IsSkipped()) return;
        sandbox->mountTmpfs("/etc", "size=64k,mode=0755");
        mounted_ = true;
        ASSERT_EQ(core::logOpen(Daemon::logFile), 0);
    }
    void TearDown() override {
        core::logClose();
        if (mounted_) ::umount2("/etc", MNT_DETACH);
        SystemTest::TearDown();
    }

  private:
    bool mounted_ = false;
};

TEST_F(ResolverOnSmallDisk, AReplacementThatCannotSaveTheBackupLeavesTheOriginalIntact) {
    const std::string original = resolverText(3000);
    writeFile(resolverFile, original);
    fillFileSystem(fillerFile);

    dns::ReplaceDns("10.8.0.1");
    EXPECT_EQ(readFile(resolverFile), original);
    EXPECT_FALSE(exists(backupFile));
    EXPECT_TRUE(
        daemon.logged("Error 28 trying to save pre-existing DNS configuration file backup."));

    // With room again the same replacement goes through and is undone.
    ASSERT_EQ(::unlink(fillerFile), 0);
    dns::ReplaceDns("10.8.0.1");
    EXPECT_EQ(readFile(resolverFile), "# Written by TELVORD\nnameserver 10.8.0.1");
    EXPECT_EQ(readFile(backupFile), original);
    dns::ResetDns();
    dns::InitializeDnsVariables();
    EXPECT_EQ(readFile(resolverFile), original);
    EXPECT_FALSE(exists(backupFile));
}

TEST_F(ResolverOnSmallDisk, ARestoreThatCannotWriteTheOriginalBackKeepsItsBackup) {
    // Three pages of original; the replacement that takes its place needs one.
    const std::string original = resolverText(12000);
    writeFile(resolverFile, original);
    dns::ReplaceDns("10.8.0.1");
    ASSERT_EQ(readFile(backupFile), original);
    fillFileSystem(fillerFile);

    dns::ResetDns();
    dns::InitializeDnsVariables();
    EXPECT_TRUE(daemon.logged("Error 28 trying to restore DNS configuration file."));
    ASSERT_TRUE(exists(backupFile));
    EXPECT_EQ(readFile(backupFile), original);

    ASSERT_EQ(::unlink(fillerFile), 0);
    dns::ResetDns();
    dns::InitializeDnsVariables();
    EXPECT_EQ(readFile(resolverFile), original);
    EXPECT_FALSE(exists(backupFile));
}

// The real daemon with its replacement in force, and another program that keeps rewriting the
// resolver file as DHCP client hooks and network managers do.
class ResolverHeld : public SystemTest {
  protected:
    void SetUp() override {
        SystemTest::SetUp();
        if (IsSkipped()) return;
        writeFile(resolverFile, "nameserver 192.0.2.53\n");
        daemon.start();
        daemon.send({"replacedns", "10.8.0.1"});
        ours = readFile(resolverFile);
    }
    // What a DHCP client's hook does: a new file renamed over the resolver file.
    static void hookRewrites(const std::string& text) {
        writeFile("/etc/resolv.conf.dhcp", text);
        ASSERT_EQ(::rename("/etc/resolv.conf.dhcp", resolverFile), 0);
    }
    bool replacementBack() const {
        return eventually([&] { return readFile(resolverFile) == ours; });
    }

    std::string ours;
};

TEST_F(ResolverHeld, ARewriteIsAnsweredAndItsTextIsWhatTheRestoreGivesBack) {
    ASSERT_EQ(ours, "# Written by TELVORD\nnameserver 10.8.0.1");
    hookRewrites("nameserver 192.0.2.54\n");
    EXPECT_TRUE(replacementBack());
    writeFile(resolverFile, "nameserver 192.0.2.55\n");  // in place, this time
    EXPECT_TRUE(replacementBack());
    EXPECT_EQ(readFile(backupFile), "nameserver 192.0.2.55\n");
    EXPECT_EQ(daemon.countLogged("The resolver file /etc/resolv.conf was rewritten by another "
                                 "program and replaced again (0 more times since the last report)"),
              1);

    daemon.send({"restoredns"});
    EXPECT_EQ(readFile(resolverFile), "nameserver 192.0.2.55\n");
    EXPECT_FALSE(exists(backupFile));
    writeFile(resolverFile, "nameserver 192.0.2.56\n");  // no replacement in force: left alone
    daemon.send({"enableforced"});
    EXPECT_EQ(readFile(resolverFile), "nameserver 192.0.2.56\n");
}

TEST_F(ResolverHeld, AProgramRewritingWithoutEndLeavesTheDaemonServingAndItsLogBounded) {
    for (int i = 0; i < 1000; ++i)
        hookRewrites("nameserver 192.0.2." + std::to_string(i % 250) + "\n");
    EXPECT_TRUE(replacementBack());
    daemon.send({"enableforced"});
    EXPECT_TRUE(daemon.logged("Enabling forced mode"));
    int reports = 0;
    for (const std::string& message : daemon.messages())
        reports += message.starts_with("The resolver file /etc/resolv.conf was rewritten");
    EXPECT_GE(reports, 1);
    EXPECT_LE(reports, 2);
    daemon.send({"restoredns"});
    EXPECT_EQ(readFile(resolverFile), "nameserver 192.0.2.249\n");
}

}  // namespace
}  // namespace systest
