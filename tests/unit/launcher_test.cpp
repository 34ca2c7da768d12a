#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "control/caller_files.h"
#include "control/launch_attempt.h"
#include "control/launcher.h"
#include "control/trust.h"
#include "support.h"
#include "util/unique_fd.h"

namespace {

using control::tokenizeCommandLine;
using Words = std::vector<std::string>;

TEST(CommandLine, SpacesSeparateWordsAndNoWordIsEmpty) {
    EXPECT_EQ(tokenizeCommandLine("openvpn --config x"), (Words{"openvpn", "--config", "x"}));
    EXPECT_EQ(tokenizeCommandLine("  openvpn    --client  "), (Words{"openvpn", "--client"}));
    EXPECT_EQ(tokenizeCommandLine("openvpn"), (Words{"openvpn"}));
    EXPECT_TRUE(tokenizeCommandLine("").empty());
    EXPECT_TRUE(tokenizeCommandLine("    ").empty());
    // Only the space separates: tabs and quotes are part of words.
    EXPECT_EQ(tokenizeCommandLine("a\tb \"c d\""), (Words{"a\tb", "\"c", "d\""}));
    EXPECT_EQ(control::countArgs(" a  b "), 4u);
}

TEST(CommandLine, TheWorkingDirectoryIsThePathWithoutItsLastEightCharacters) {
    EXPECT_EQ(control::workingDirectoryFor("/usr/sbin/openvpn"), "/usr/sbin");
    EXPECT_EQ(control::workingDirectoryFor("/opt/openvpn/bin/x"), "/opt/openv");
    EXPECT_EQ(control::workingDirectoryFor("/usr/bin/vpn-client"), std::nullopt);
    EXPECT_EQ(control::workingDirectoryFor("openvpn"), std::nullopt);
    EXPECT_EQ(control::workingDirectoryFor("/openvpn"), "");
}

TEST(LaunchOwner, ACommandLineStartsOnlyThePathItsOwnUserSentLast) {
    const support::Sandbox sandbox;
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    const util::unique_fd daemonEnd(fds[0]), clientEnd(fds[1]);
    struct Case {
        std::vector<std::pair<uid_t, std::string>> paths;  // in the order they are sent
        uid_t commandLine;
        std::string judged;  // the program the launch goes on to judge; empty: no path
    };
    std::vector<Case> cases = {
        {{{65534, "/a/openvpn"}}, 0, ""},
        {{{0, "/a/openvpn"}}, 65534, ""},
        {{{65534, "/a/openvpn"}}, 65534, "/a/openvpn"},
        // Another user's path, sent later, spoils nobody else's launch.
        {{{65534, "/a/openvpn"}, {0, "/b/openvpn"}}, 65534, "/a/openvpn"},
        {{{65534, "/a/openvpn"}, {65534, "/c/openvpn"}}, 65534, "/c/openvpn"},
    };
    // The launcher keeps the paths of so many users only: the one sent longest ago goes.
    Case many{{}, 1, ""};
    for (uid_t uid = 1; uid <= control::maxPathOwners + 1; ++uid)
        many.paths.emplace_back(uid, "/a/openvpn");
    cases.push_back(many);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.paths.size());
        sandbox.clearLog();
        control::Launcher launcher;
        for (const auto& [uid, path] : c.paths) {
            control::Frame frame;
            const std::string text = "path: /nonexistent" + path;
            std::copy(text.begin(), text.end(), frame.bytes.begin());
            frame.received = control::frameSize;
            launcher.receivePath(frame, {daemonEnd.get(), uid});
        }
        launcher.launch("openvpn --verb 3", {daemonEnd.get(), c.commandLine});
        std::array<char, control::frameSize> reply{};
        ASSERT_EQ(::recv(clientEnd.get(), reply.data(), reply.size(), MSG_WAITALL),
                  static_cast<ssize_t>(reply.size()));
        EXPECT_STREQ(reply.data(), "false");
        EXPECT_EQ(sandbox.countContaining("No OpenVpn path received from the client"),
                  c.judged.empty() ? 1 : 0);
        if (!c.judged.empty()) {
            EXPECT_EQ(sandbox.countContaining("Refusing to run /nonexistent" + c.judged), 1);
        }
    }
}

TEST(OpenVpnAccount, TheConfiguredAccountOrNobodyInItsPlace) {
    const support::Sandbox sandbox;
    const auto root = control::findOpenVpnAccount("root");
    ASSERT_TRUE(root);
    EXPECT_EQ(root->user, "root");
    EXPECT_FALSE(root->fallback);
    const auto missing = control::findOpenVpnAccount("telvord-no-such-account");
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->user, "nobody");
    EXPECT_TRUE(missing->fallback);
    EXPECT_EQ(control::daemonOptions(*missing),
              (Words{"--mark", "11805", "--user", "nobody", "--group", missing->group,
                     "--persist-tun", "--persist-key"}));
}

TEST(LaunchAttempt, AnEndClosesOnlyTheLatestLaunchOfTheAttemptUnderWay) {
    using control::EndOfLaunch;
    struct Case {
        unsigned generation, attempt;  // the ended launch's
        EndOfLaunch end;
    };
    // Against generation 5 and connection attempt 3.
    const Case cases[] = {
        {5, 3, EndOfLaunch::CloseConnection},
        {5, 2, EndOfLaunch::LeaveNewerAttempt},
        {4, 3, EndOfLaunch::NoteSuperseded},
        {4, 2, EndOfLaunch::NoteSuperseded},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(control::endOf({c.generation, c.attempt}, 5, 3), c.end)
            << c.generation << " " << c.attempt;
    }
}

TEST(PrivateCopies, ALaunchHoldsAtMost32CopiesAnd4MiBAndAllLaunches16MiB) {
    const support::Sandbox sandbox;
    const std::string big((3 << 20) + (1 << 19), 'k');  // 3.5 MiB
    {
        control::PrivateCopies many(1), large(2);
        for (std::size_t i = 0; i < control::maxCopiesPerLaunch; ++i)
            ASSERT_TRUE(many.keep("x").path);
        EXPECT_EQ(many.keep("x").error, "a launch holds at most 32 files");
        ASSERT_TRUE(large.keep(big).path);
        EXPECT_EQ(large.keep(big).error, "a launch holds at most 4 MiB of files");
        control::PrivateCopies a(3), b(4), c(5);
        ASSERT_TRUE(a.keep(big).path && b.keep(big).path && c.keep(big).path);
        EXPECT_EQ(control::PrivateCopies(6).keep(big).error,
                  "the launches under way hold as many files as they may");
    }
    // They went with their launches, and so did what they counted.
    for (const auto& entry : std::filesystem::directory_iterator(sandbox.path("run")))
        ADD_FAILURE() << entry.path();
    control::PrivateCopies again(7);
    EXPECT_TRUE(again.keep(big).path);
}

class TrustedPrograms : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
        ::mkdir((dir / "bin").c_str(), 0755);
        support::writeFile(program, support::readFile("/bin/true"));
        ::chmod(program.c_str(), 0755);
    }
    control::TrustVerdict check(const std::string& path) {
        return control::checkTrustedProgram(path, ::geteuid());
    }
    support::TempDir dir;
    const std::string program = dir / "bin/openvpn";
};

TEST_F(TrustedPrograms, AProgramOnlyItsOwnerCanWriteIsTrusted) {
    const auto verdict = check(program);
    EXPECT_TRUE(verdict.trusted) << verdict.reason;
    EXPECT_EQ(verdict.resolved, program);
}

TEST_F(TrustedPrograms, ProgramsOthersCanWriteAreNot) {
    ::chmod(program.c_str(), 0775);
    EXPECT_EQ(check(program).reason, "is writable by group or others");
    ::chmod(program.c_str(), 0757);
    EXPECT_FALSE(check(program).trusted);
}

TEST_F(TrustedPrograms, DirectoriesOthersCanWriteAreNotUnlessSticky) {
    ::chmod((dir / "bin").c_str(), 0777);
    EXPECT_EQ(check(program).reason,
              "lies under " + dir / "bin" + ", which group or others may write");
    ::chmod((dir / "bin").c_str(), 01777);
    EXPECT_TRUE(check(program).trusted);
}

TEST_F(TrustedPrograms, LinksAreResolvedAndTheTargetIsJudged) {
    ::mkdir((dir / "open").c_str(), 0777);
    ::chmod((dir / "open").c_str(), 0777);
    ASSERT_EQ(::symlink(program.c_str(), (dir / "link").c_str()), 0);
    const auto verdict = check(dir / "link");
    EXPECT_TRUE(verdict.trusted);
    EXPECT_EQ(verdict.resolved, program);

    support::writeFile(dir / "open/openvpn", "#!/bin/sh\n");
    ::chmod((dir / "open/openvpn").c_str(), 0755);
    ASSERT_EQ(::symlink((dir / "open/openvpn").c_str(), (dir / "bin/trap").c_str()), 0);
    EXPECT_FALSE(check(dir / "bin/trap").trusted);
}

TEST_F(TrustedPrograms, OnlyFilesNamedOpenVpnOrListedAreOpenVpn) {
    support::writeFile(dir / "bin/vpn-2.6", "#!/bin/sh\n");
    ASSERT_EQ(::symlink((dir / "bin/vpn-2.6").c_str(), (dir / "listed").c_str()), 0);
    EXPECT_TRUE(control::isOpenVpnProgram(program, {}));
    EXPECT_FALSE(control::isOpenVpnProgram(dir / "bin/vpn-2.6", {}));
    EXPECT_FALSE(control::isOpenVpnProgram("/usr/bin/dash", {dir / "bin/vpn-2.6"}));
    EXPECT_TRUE(control::isOpenVpnProgram(dir / "bin/vpn-2.6", {dir / "listed"}));
}

TEST_F(TrustedPrograms, AConfigurationIsProvidedOnlyWhenTheOpenedFileShowsRootPutItThere) {
    const std::vector<std::string> directories = {dir / "bin"};
    support::writeFile(dir / "bin/work.conf", "client\n");
    support::writeFile(dir / "bin/shared.conf", "client\n");
    ::chmod((dir / "bin/shared.conf").c_str(), 0666);
    support::writeFile(dir / "other.conf", "client\n");
    ASSERT_EQ(::symlink((dir / "other.conf").c_str(), (dir / "bin/out.conf").c_str()), 0);
    const struct {
        std::string path, reason;
    } cases[] = {
        {dir / "bin/work.conf", ""},
        {dir / "bin/shared.conf", "is writable by group or others"},
        {dir / "bin/out.conf", "lies in no directory of openvpnconfigdirs"},
        {dir / "other.conf", "lies in no directory of openvpnconfigdirs"},
    };
    for (const auto& c : cases) {
        std::string reason;
        const auto opened =
            control::openProvidedConfiguration(c.path, directories, 4096, reason, ::geteuid());
        EXPECT_EQ(opened.has_value(), c.reason.empty()) << c.path;
        EXPECT_EQ(reason, c.reason) << c.path;
        if (opened) {
            EXPECT_EQ(opened->text, "client\n");
        }
    }
    std::string reason;
    ::chmod((dir / "bin").c_str(), 0777);
    EXPECT_FALSE(control::openProvidedConfiguration(dir / "bin/work.conf", directories, 4096,
                                                    reason, ::geteuid()));
    EXPECT_EQ(reason, "lies under " + dir / "bin" + ", which group or others may write");

    EXPECT_TRUE(control::claimsTrustedDirectory("/etc/openvpn/a.conf", {"/etc/openvpn"}));
    EXPECT_FALSE(control::claimsTrustedDirectory("/etc/openvpn.conf", {"/etc/openvpn"}));
    EXPECT_TRUE(control::holdsParentReference("/etc/openvpn/../../home/u/a.conf"));
    EXPECT_FALSE(control::holdsParentReference("/etc/openvpn/..a/b../a.conf"));
}

TEST_F(TrustedPrograms, AProvidedConfigurationsNamesAreReadWhereItReallyLiesAndNotOutside) {
    // A user's directory whose link leads to the provided file, and a name beside the link
    // that leads to what only root may read.
    support::writeFile(dir / "bin/work.conf", "client\n");
    support::writeFile(dir / "bin/pass.txt", "administrator's\n");
    ::mkdir((dir / "user").c_str(), 0777);
    ASSERT_EQ(::symlink((dir / "bin/work.conf").c_str(), (dir / "user/work.conf").c_str()), 0);
    support::writeFile(dir / "secret", "root only\n");
    ASSERT_EQ(::symlink((dir / "secret").c_str(), (dir / "user/pass.txt").c_str()), 0);
    ASSERT_EQ(::symlink("../secret", (dir / "bin/escape").c_str()), 0);

    std::string reason;
    const auto opened = control::openProvidedConfiguration(dir / "user/work.conf", {dir / "bin"},
                                                           4096, reason, ::geteuid());
    ASSERT_TRUE(opened.has_value()) << reason;
    const int directory = opened->directory.get();
    EXPECT_EQ(control::readProvidedName(directory, "pass.txt", 4096).text, "administrator's\n");
    EXPECT_EQ(control::readProvidedName(directory, "../secret", 4096).error,
              "it lies outside the configuration's directory");
    EXPECT_EQ(control::readProvidedName(directory, "escape", 4096).error,
              "it lies outside the configuration's directory");
    EXPECT_EQ(control::readProvidedName(directory, dir / "secret", 4096).text, "root only\n");
}

TEST_F(TrustedPrograms, WithoutOpenat2TheNameIsWalkedAndNoLinkIsFollowedBeneath) {
    support::writeFile(dir / "bin/pass.txt", "administrator's\n");
    ::mkdir((dir / "bin/keys").c_str(), 0755);
    support::writeFile(dir / "bin/keys/ca.crt", "ca\n");
    support::writeFile(dir / "secret", "root only\n");
    ASSERT_EQ(::symlink("../secret", (dir / "bin/escape").c_str()), 0);
    ASSERT_EQ(::symlink("pass.txt", (dir / "bin/inside").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "secret").c_str(), (dir / "alias").c_str()), 0);
    const util::unique_fd bin(::open((dir / "bin").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(bin);
    constexpr std::uint64_t beneath = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    constexpr std::uint64_t noLinks = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const struct {
        std::string name;
        std::uint64_t resolve;
        int error;  // 0: opened
    } cases[] = {
        {"pass.txt", beneath, 0},
        {"./keys//ca.crt", beneath, 0},
        {"../secret", beneath, EXDEV},
        {"keys/../pass.txt", beneath, EXDEV},
        {"escape", beneath, ELOOP},
        {"inside", beneath, ELOOP},  // openat2 would follow it; the walk is stricter
        {dir / "bin/pass.txt", beneath, EXDEV},
        {dir / "alias", RESOLVE_NO_MAGICLINKS, 0},
        {dir / "alias", noLinks, ELOOP},
        {dir / "bin/keys/ca.crt", noLinks, 0},
    };
    for (const auto& c : cases) {
        errno = 0;
        const util::unique_fd file(control::openWalking(bin.get(), c.name, O_RDONLY, c.resolve));
        EXPECT_EQ(file ? 0 : errno, c.error) << c.name;
    }
}

TEST_F(TrustedPrograms, OnlyAnExecutableOfThisMachineIsTrusted) {
    const std::string elf = support::readFile("/bin/true");
    std::string otherMachine = elf;
    otherMachine[18] = static_cast<char>(otherMachine[18] ^ 0x7f);  // e_machine
    for (const std::string& text : {std::string("#!/bin/sh\nid\n"), otherMachine,
                                    std::string("\x7f"
                                                "ELF"),
                                    std::string()}) {
        support::writeFile(program, text);
        EXPECT_EQ(check(program).reason,
                  "is no executable of this machine (a script, or a program run through an "
                  "interpreter)");
    }
    support::writeFile(program, elf);
    EXPECT_TRUE(check(program).trusted);
}

TEST_F(TrustedPrograms, MissingPathsAndDirectoriesAreRefused) {
    EXPECT_FALSE(check(dir / "bin/missing").trusted);
    EXPECT_EQ(check(dir / "bin").reason, "is not a regular file");
    EXPECT_FALSE(check("").trusted);
}

TEST_F(TrustedPrograms, OnlyRootIsTrustedInTheDaemon) {
    if (::geteuid() == 0) {
        EXPECT_TRUE(control::checkTrustedProgram("/bin/sh").trusted);
        ASSERT_EQ(::chown(program.c_str(), 65534, 65534), 0);
        EXPECT_EQ(control::checkTrustedProgram(program).reason, "is not owned by root");
    } else {
        EXPECT_EQ(control::checkTrustedProgram(program).reason, "is not owned by root");
    }
}

}  // namespace
