// What an unprivileged local user can make the daemon do with the real OpenVPN program: the
// client runs as uid 65534, as any user of the host could, and every attack a user could try
// on the launcher gets "false" with a log line that says why, and changes nothing.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "system_test.h"

namespace systest {
namespace {

constexpr const char* openVpnProgram = "/usr/sbin/openvpn";

class UnprivilegedClient : public SystemTest {
  protected:
    void SetUp() override {
        SystemTest::SetUp();
        if (IsSkipped()) return;
        if (::access(openVpnProgram, X_OK) != 0) GTEST_SKIP() << "OpenVPN is not installed";
        // A copy the unprivileged user can reach wherever the build tree lies, and a directory
        // of that user's own.
        client = sandbox->scratch() + "/telvorctl";
        std::filesystem::copy_file(telvorctlBinary(), client);
        ASSERT_EQ(::chmod(client.c_str(), 0755), 0);
        home = sandbox->scratch() + "/home";
        ASSERT_EQ(::mkdir(home.c_str(), 0755), 0);
        ASSERT_EQ(::chown(home.c_str(), 65534, 65534), 0);
        daemon.start();
    }

    // Runs telvorctl as uid 65534 with `arguments` (shell words) and returns what it printed.
    std::string asNobody(const std::string& arguments) {
        return sh("setpriv --reuid=65534 --regid=65534 --clear-groups " + client + " --port " +
                  std::to_string(daemon.port()) + " " + arguments)
            .output;
    }
    std::string launch(const std::string& path, const std::string& commandLine) {
        return asNobody("path " + shellQuoted(path) + " commandline " + shellQuoted(commandLine));
    }
    // A file of the unprivileged user's own.
    std::string userFile(const std::string& name, const std::string& text) {
        const std::string path = home + "/" + name;
        writeFile(path, text);
        EXPECT_EQ(::chown(path.c_str(), 65534, 65534), 0);
        return path;
    }

    bool loggedContaining(const std::string& part) const {
        const auto all = daemon.messages();
        return std::any_of(all.begin(), all.end(), [&](const std::string& message) {
            return message.find(part) != std::string::npos;
        });
    }
    void expectRefused(const std::string& path, const std::string& commandLine,
                       const std::string& logged) {
        EXPECT_EQ(launch(path, commandLine), "false\n") << commandLine;
        EXPECT_TRUE(loggedContaining(logged)) << commandLine << " did not log " << logged;
        EXPECT_TRUE(daemon.launchedPids().empty()) << commandLine;
    }

    std::string client;
    std::string home;
};

// One case of each kind of refusal; the option allowlist and the configuration reader have
// every variant in their unit tests.
TEST_F(UnprivilegedClient, EveryAttackGetsFalseWithItsReasonLoggedAndLeaksOrWritesNothing) {
    const std::string secret = sandbox->scratch() + "/root-only";
    writeFile(secret, "the-secret-line\n");
    ASSERT_EQ(::chmod(secret.c_str(), 0600), 0);
    const std::string hidden = userFile("hidden.ovpn", "client\n\"plugin\"/tmp/x.so\n");
    const struct {
        std::string path, commandLine, logged;
    } attacks[] = {
        {"/bin/sh", "sh -c id", "Refusing to run /bin/sh as root: it is not OpenVPN"},
        {openVpnProgram, "openvpn --config " + hidden,
         "line 2: holds a quote followed by more of a word"},
        {openVpnProgram, "openvpn --config " + secret,
         "configuration file " + secret + " names a file"},
        {openVpnProgram, "openvpn --client --http-proxy 127.0.0.1 3128 " + secret + " basic",
         "--http-proxy names a file that cannot be read: Permission denied"},
        {openVpnProgram, "openvpn --client --ca /dev/zero",
         "--ca names a file that cannot be read: it is not"},
        {openVpnProgram, "openvpn --client --memstats /etc/x", "--memstats is not an option"},
    };
    for (const auto& attack : attacks)
        expectRefused(attack.path, attack.commandLine, attack.logged);
    EXPECT_FALSE(loggedContaining("the-secret-line"));
    EXPECT_NE(::access("/etc/x", F_OK), 0);
}

TEST_F(UnprivilegedClient, AWorkingDirectoryThatCannotBeSetGetsFalseAndTheDaemonStaysWhereItIs) {
    const std::string cwd =
        std::filesystem::read_symlink("/proc/" + std::to_string(daemon.pid()) + "/cwd").string();
    // The directory derived from this path, <home>/ope, does not exist.
    const std::string link = home + "/openvpn-x";
    must("setpriv --reuid=65534 --regid=65534 --clear-groups ln -s " + std::string(openVpnProgram) +
         " " + link);
    EXPECT_EQ(launch(link, "openvpn --verb 3"), "false\n");
    EXPECT_TRUE(loggedContaining("chdir() failed, error is 2:No such file or directory"));
    // A link named openvpn in the user's own directory moves only the child there.
    must("setpriv --reuid=65534 --regid=65534 --clear-groups ln -s " + std::string(openVpnProgram) +
         " " + home + "/openvpn");
    launch(home + "/openvpn", "openvpn --verb 3");
    EXPECT_TRUE(daemon.logged("Working directory changed to " + home));

    EXPECT_TRUE(daemon.running());
    EXPECT_EQ(asNobody("enableforced"), "");
    EXPECT_TRUE(daemon.logged("Enabling forced mode"));
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(daemon.pid()) + "/cwd"), cwd);
}

TEST_F(UnprivilegedClient, ControlCharactersFromTheClientNeverReachTheLog) {
    launch("/x\n2026-01-01 00:00:00: forged path\x1b[31m",
           "openvpn\n2026-01-01 00:00:00: forged line \x1b]0;title\x07");
    EXPECT_TRUE(
        daemon.waitLogged("Openvpn path received from the client; "
                          "/x?2026-01-01 00:00:00: forged path?[31m"));
    EXPECT_TRUE(loggedContaining("; openvpn?2026-01-01 00:00:00: forged line ?]0;title?"));
    const std::string log = readFile(Daemon::logFile);
    EXPECT_EQ(log.find('\x1b'), std::string::npos);
    EXPECT_EQ(log.find("\n2026-01-01 00:00:00: forged"), std::string::npos);
}

TEST_F(UnprivilegedClient, CopiesAnEarlierRunLeftBehindAreRemovedAtStart) {
    daemon.stop();
    ::mkdir("/run/telvord", 0700);
    writeFile("/run/telvord/openvpn-7-0", "left behind");
    daemon.start();
    EXPECT_NE(::access("/run/telvord/openvpn-7-0", F_OK), 0);
}

}  // namespace
}  // namespace systest
