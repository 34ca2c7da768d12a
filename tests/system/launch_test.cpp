// The launcher of the real daemon with a stand-in for OpenVPN (fake_openvpn.cpp): what the
// program is started with, what is refused, the process watcher, the launch policy, and the
// audit line naming the client's user.

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "control/launcher.h"
#include "control/listener.h"
#include "system_test.h"

namespace systest {
namespace {

// An ordinary client's command line, without files: tests that hand files over name them.
const std::string ordinaryCommandLine =
    "openvpn --client --dev tun --proto udp --remote 198.51.100.7 1194 --auth-user-pass "
    "--management 127.0.0.1 7505 --management-query-passwords --verb 3";

// What the daemon adds to every launch: here, with no account of its own on the host, nobody.
std::vector<std::string> withDaemonOptions(std::vector<std::string> argv) {
    const std::vector<std::string> added = control::daemonOptions({"nobody", "nogroup", true});
    argv.insert(argv.end(), added.begin(), added.end());
    return argv;
}

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> result;
    std::string word;
    while (in >> word)
        result.push_back(word);
    return result;
}

bool processExists(pid_t pid) {
    return ::access(("/proc/" + std::to_string(pid)).c_str(), F_OK) == 0;
}

// The children of `parent` that have ended and that nobody has collected.
std::vector<pid_t> zombieChildren(pid_t parent) {
    std::vector<pid_t> zombies;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string stat = readFile(entry.path().string() + "/stat");
        const std::size_t end = stat.rfind(')');
        if (end == std::string::npos) continue;
        std::istringstream fields(stat.substr(end + 1));
        char state = 0;
        pid_t parentPid = 0;
        fields >> state >> parentPid;
        if (parentPid == parent && state == 'Z') zombies.push_back(std::stoi(name));
    }
    return zombies;
}

std::set<pid_t> listThreads(pid_t pid) {
    std::set<pid_t> threads;
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream comm(entry.path() / "comm");
        std::string name;
        if (!std::getline(comm, name) || name == control::connectionThreadName) continue;
        threads.insert(std::stoi(entry.path().filename().string()));
    }
    return threads;
}

// The daemon's threads but those of its client connections, which come and go with them. A
// listing taken while a thread ends may leave out a later one, so it is taken until two agree.
std::set<pid_t> threadsOf(pid_t pid) {
    std::set<pid_t> threads = listThreads(pid);
    for (int reading = 0; reading < 100; ++reading) {
        std::set<pid_t> again = listThreads(pid);
        if (again == threads) break;
        threads = std::move(again);
    }
    return threads;
}

std::vector<int> descriptorNumbers(const LaunchRecord& record) {
    std::vector<int> numbers;
    for (const std::string& descriptor : record.descriptors)
        numbers.push_back(std::stoi(descriptor));
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines)
        text += "\n  " + line;
    return text;
}

// Whether a message of the debug log begins with `start` and holds `part`.
bool loggedLike(const Daemon& daemon, const std::string& start, const std::string& part = "") {
    const auto all = daemon.messages();
    return std::any_of(all.begin(), all.end(), [&](const std::string& message) {
        return message.starts_with(start) && message.find(part) != std::string::npos;
    });
}

telvorctl::FrameBytes frame(const std::string& command, const std::string& argument = {}) {
    return telvorctl::buildFrame({telvorctl::findCommand(command), argument});
}

class OpenVpnLaunch : public SystemTest {
  protected:
    void SetUp() override {
        SystemTest::SetUp();
        if (IsSkipped()) return;
        fake.emplace(sandbox->scratch() + "/vpn");
        daemon.start();
    }

    // Sends the path and the command line and returns the reply.
    std::string launch(const std::string& commandLine, const std::string& path) {
        const auto replies = daemon.send({"path", path, "commandline", commandLine});
        return replies.at(0);
    }
    std::string launch(const std::string& commandLine) { return launch(commandLine, fake->path()); }

    // The PID of the latest launch, from the daemon's report.
    pid_t lastChild() const {
        const auto pids = daemon.launchedPids();
        return pids.empty() ? -1 : pids.back();
    }

    std::optional<FakeOpenVpn> fake;
};

// --- what the program is started with ------------------------------------------------------

TEST_F(OpenVpnLaunch, TheProgramGetsTheCommandLineAsArgvItsOwnDirectoryAndOnlyTheStandardStreams) {
    // A relative name counts from the program's directory; the program gets a private copy.
    writeFile(fake->directory() + "/ca.crt", "CA");
    const std::string commandLine = ordinaryCommandLine + " --ca ca.crt";
    {
        // Without waiting for the daemon to end the connection: a descriptor of it that leaked
        // into the program would hold it open.
        telvorctl::Connection client = daemon.connect();
        telvorctl::Error error{};
        ASSERT_TRUE(client.send(frame("path", fake->path()), error)) << error.message;
        ASSERT_TRUE(client.send(frame("commandline", commandLine), error)) << error.message;
        EXPECT_EQ(client.receiveReply(error), "true") << error.message;
    }
    EXPECT_TRUE(daemon.waitLogged("OpenVpn started"));
    EXPECT_TRUE(daemon.logged("Working directory changed to " + fake->directory()));

    const auto record = fake->waitRecord(lastChild());
    ASSERT_TRUE(record.has_value());
    std::vector<std::string> expected = words(commandLine);
    const std::size_t ca = expected.size() - 1;
    expected = withDaemonOptions(expected);
    ASSERT_EQ(record->argv.size(), expected.size());
    EXPECT_TRUE(record->argv[ca].starts_with("/run/telvord/openvpn-")) << record->argv[ca];
    EXPECT_EQ(readFile(record->argv[ca]), "CA");
    expected[ca] = record->argv[ca];
    EXPECT_EQ(record->argv, expected);
    EXPECT_EQ(record->workingDirectory, fake->directory());
    EXPECT_EQ(descriptorNumbers(*record), (std::vector<int>{0, 1, 2}))
        << joined(record->descriptors);
}

TEST_F(OpenVpnLaunch, RunsOfSpacesSeparateWordsAndNoWordIsEmpty) {
    EXPECT_EQ(launch("  openvpn   --client  --verb 3 "), "true");
    const auto record = fake->waitRecord(lastChild());
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->argv, withDaemonOptions({"openvpn", "--client", "--verb", "3"}));
}

TEST_F(OpenVpnLaunch, AProgramThatEndsWithinTheSecondStillGetsTrueAndItsEndClosesTheConnection) {
    fake->exitAtOnce(true);
    daemon.send({"prepareforconnect"});
    EXPECT_EQ(launch(ordinaryCommandLine), "true");
    EXPECT_TRUE(daemon.waitLogged("Disabling Basic Mode"));
    EXPECT_TRUE(eventually([&] { return !processExists(lastChild()); }));
    EXPECT_TRUE(zombieChildren(daemon.pid()).empty());
    // Why it ended is logged, so that a user sees why the connection closed at once.
    EXPECT_TRUE(loggedLike(daemon, "OpenVpn (PID " + std::to_string(lastChild()) + ") ended after ",
                           " seconds with exit status 0"));
}

// --- what is refused -----------------------------------------------------------------------

TEST_F(OpenVpnLaunch, AProgramThatCannotBeExecutedGetsFalseAtOnceAndLeavesNoZombie) {
    const FakeOpenVpn plain(sandbox->scratch() + "/plain");
    ASSERT_EQ(::chmod(plain.path().c_str(), 0644), 0);
    EXPECT_EQ(launch(ordinaryCommandLine, plain.path()), "false");
    EXPECT_TRUE(daemon.logged("exec() failed, error is 13:Permission denied"));
    // Answered without the one-second probe.
    EXPECT_FALSE(loggedLike(daemon, "OpenVpn started with PID", "and status"));
    ASSERT_EQ(daemon.launchedPids().size(), 1u);
    EXPECT_FALSE(processExists(lastChild()));
    EXPECT_TRUE(zombieChildren(daemon.pid()).empty());

    // The failed child went away instead of serving frames; the daemon goes on.
    daemon.send({"enableforced"});
    EXPECT_EQ(daemon.countLogged("Enabling forced mode"), 1);
    EXPECT_TRUE(daemon.running());
}

TEST_F(OpenVpnLaunch, AScriptNamedOpenVpnIsRefusedAndNeverRuns) {
    const std::string directory = sandbox->scratch() + "/script";
    ASSERT_EQ(::mkdir(directory.c_str(), 0755), 0);
    const std::string script = directory + "/openvpn";
    writeFile(script, "#!/nonexistent/interpreter\nexit 0\n");
    ASSERT_EQ(::chmod(script.c_str(), 0755), 0);

    EXPECT_EQ(launch(ordinaryCommandLine, script), "false");
    EXPECT_TRUE(loggedLike(daemon, "Refusing to run " + script + " as root: it is no executable"));
    EXPECT_TRUE(daemon.launchedPids().empty());
}

TEST_F(OpenVpnLaunch, ACommandLineWithoutAPathGetsFalseAndStartsNothing) {
    const auto replies = daemon.send({"commandline", ordinaryCommandLine});
    EXPECT_EQ(replies, (std::vector<std::string>{"false"}));
    EXPECT_TRUE(daemon.logged("No OpenVpn path received from the client, not starting it"));

    // A "path:" frame with nothing after the keyword leaves an empty path.
    const auto again = daemon.send({"raw", "path:", "commandline", ordinaryCommandLine});
    EXPECT_EQ(again, (std::vector<std::string>{"false"}));
    EXPECT_EQ(daemon.countLogged("No OpenVpn path received from the client, not starting it"), 2);
    EXPECT_TRUE(daemon.launchedPids().empty());
    EXPECT_TRUE(fake->records().empty());
}

TEST_F(OpenVpnLaunch, AProgramInADirectoryOthersMayWriteIsRefusedAndNeverRuns) {
    const FakeOpenVpn exposed(sandbox->scratch() + "/exposed");
    ASSERT_EQ(::chmod(exposed.directory().c_str(), 0777), 0);
    EXPECT_EQ(launch(ordinaryCommandLine, exposed.path()), "false");
    EXPECT_TRUE(daemon.logged("Refusing to run " + exposed.path() + " as root: it lies under " +
                              exposed.directory() + ", which group or others may write"));
    EXPECT_TRUE(daemon.launchedPids().empty());
    EXPECT_TRUE(exposed.records().empty());
}

TEST_F(OpenVpnLaunch, AProgramOwnedByAnotherUserIsRefusedAndNeverRuns) {
    const FakeOpenVpn foreign(sandbox->scratch() + "/foreign");
    ASSERT_EQ(::chown(foreign.path().c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(foreign.path().c_str(), 0755), 0);  // chown cleared nothing we need
    EXPECT_EQ(launch(ordinaryCommandLine, foreign.path()), "false");
    EXPECT_TRUE(
        daemon.logged("Refusing to run " + foreign.path() + " as root: it is not owned by root"));
    EXPECT_TRUE(daemon.launchedPids().empty());
    EXPECT_TRUE(foreign.records().empty());
}

// --- the client and the process watcher ----------------------------------------------------

TEST_F(OpenVpnLaunch, AClientThatLeavesBeforeTheReplyDoesNotStopTheDaemon) {
    {
        telvorctl::Connection client = daemon.connect();
        telvorctl::Error error{};
        ASSERT_TRUE(client.send(frame("path", fake->path()), error));
        ASSERT_TRUE(client.send(frame("commandline", ordinaryCommandLine), error));
        // The daemon has forked and waits for its probe: leave with a reset now, so that its
        // reply meets a connection that is gone.
        ASSERT_TRUE(eventually([&] { return lastChild() > 0; }));
        const linger reset{1, 0};
        ASSERT_EQ(::setsockopt(client.fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset), 0);
    }
    EXPECT_TRUE(daemon.waitLogged("OpenVpn started"));
    daemon.send({"enableforced"});
    EXPECT_TRUE(daemon.logged("Enabling forced mode"));
    EXPECT_TRUE(daemon.running());
}

TEST_F(OpenVpnLaunch, ASecondLaunchSupersedesTheFirstAndNeitherChildIsLeftAZombie) {
    daemon.send({"prepareforconnect"});
    const std::size_t before = threadsOf(daemon.pid()).size();
    ASSERT_EQ(launch(ordinaryCommandLine), "true");
    const pid_t first = lastChild();
    ASSERT_EQ(launch(ordinaryCommandLine), "true");
    const pid_t second = lastChild();
    ASSERT_NE(first, second);

    // The daemon ends the first itself; its watcher ends once it has collected its child and
    // seen itself superseded, and only the second's stays.
    EXPECT_TRUE(daemon.waitLogged("Ending OpenVpn (PID " + std::to_string(first) +
                                  "): a newer launch has superseded it"));
    EXPECT_TRUE(eventually([&] { return threadsOf(daemon.pid()).size() == before + 1; }));
    EXPECT_FALSE(processExists(first)) << "the superseded watcher did not collect its child";
    EXPECT_FALSE(daemon.logged("Disabling Basic Mode")) << "the first child's end closed";
    // Without an account of its own on the host, OpenVPN runs as nobody: said once, and in
    // the status.
    EXPECT_EQ(daemon.countLogged("The account telvord-openvpn does not exist: OpenVpn runs as "
                                 "nobody and nogroup once its tunnel is made, which other "
                                 "programs may run as too"),
              1);
    EXPECT_NE(
        must(telvorctlBinary() + " status --json").find("\"openvpnuser\":\"nobody (fallback)\""),
        std::string::npos);

    ASSERT_EQ(::kill(second, SIGTERM), 0);
    EXPECT_TRUE(daemon.waitLogged("Disabling Basic Mode"));
    EXPECT_TRUE(eventually([&] { return !processExists(second); }));
    EXPECT_EQ(daemon.countLogged("Disabling Basic Mode"), 1);
    EXPECT_TRUE(zombieChildren(daemon.pid()).empty());
}

// An OpenVPN that does not end at SIGTERM gets SIGKILL after its grace; its private copies
// stay while it runs and go once it has gone.
TEST_F(OpenVpnLaunch, ASupersededOpenVpnEndsAndItsCopiesGoOnlyOnceItHasGone) {
    writeFile(fake->directory() + "/ca.crt", "CA");
    fake->ignoreTerm(true);
    ASSERT_EQ(launch(ordinaryCommandLine + " --ca ca.crt"), "true");
    const pid_t first = lastChild();
    const auto record = fake->waitRecord(first);
    ASSERT_TRUE(record);
    const std::string copy = record->argv[words(ordinaryCommandLine).size() + 1];
    ASSERT_TRUE(copy.starts_with("/run/telvord/openvpn-")) << copy;
    fake->ignoreTerm(false);
    ASSERT_EQ(launch(ordinaryCommandLine), "true");
    ASSERT_TRUE(daemon.waitLogged("Ending OpenVpn (PID " + std::to_string(first) +
                                  "): a newer launch has superseded it"));
    bool copyWhileItRan = true;
    EXPECT_TRUE(eventually(
        [&] {
            // The copy first: a process that still runs afterwards ran while it was looked at.
            const bool present = ::access(copy.c_str(), F_OK) == 0;
            const bool runs = zombieChildren(daemon.pid()).empty() && processExists(first);
            copyWhileItRan = copyWhileItRan && (!runs || present);
            return !processExists(first);
        },
        15s));
    EXPECT_TRUE(copyWhileItRan) << "its copy went while it still ran";
    EXPECT_TRUE(daemon.logged("OpenVpn (PID " + std::to_string(first) +
                              ") did not end within 5 seconds; killing it"));
    EXPECT_TRUE(eventually([&] { return ::access(copy.c_str(), F_OK) != 0; }));
    EXPECT_TRUE(processExists(lastChild()));
    EXPECT_FALSE(daemon.logged("Disabling Basic Mode"));
}

TEST_F(OpenVpnLaunch, AnOpenVpnEndingWhileTheNextOneStartsDoesNotCloseTheNextConnection) {
    daemon.send({"prepareforconnect"});
    ASSERT_EQ(launch(ordinaryCommandLine), "true");
    const pid_t first = lastChild();
    const std::size_t threads = threadsOf(daemon.pid()).size();
    telvorctl::Connection client = daemon.connect();
    telvorctl::Error error{};
    ASSERT_TRUE(client.send(frame("path", fake->path()), error));
    ASSERT_TRUE(client.send(frame("commandline", ordinaryCommandLine), error));
    // The first one ends inside the second's probe, before its reply.
    ASSERT_TRUE(eventually([&] { return daemon.launchedPids().size() == 2; }));
    ASSERT_EQ(::kill(first, SIGTERM), 0);
    EXPECT_EQ(client.receiveReply(error), "true") << error.message;
    // Its watcher ends once it has collected its child and seen itself superseded.
    EXPECT_TRUE(eventually([&] { return threadsOf(daemon.pid()).size() == threads; }));
    EXPECT_FALSE(processExists(first));
    EXPECT_FALSE(daemon.logged("Disabling Basic Mode"));
}

TEST_F(OpenVpnLaunch, AnOpenVpnOfAnEarlierAttemptThatEndsLateLeavesTheNewAttemptAlone) {
    const std::string serverRoute = "198.51.100.8 via 192.0.2.1 dev veth0";
    daemon.send({"enablelockdown", "prepareforconnect", "serveraddress", "198.51.100.7"});
    ASSERT_EQ(launch(ordinaryCommandLine), "true");
    const pid_t first = lastChild();
    // The client gives the first attempt up and begins the next before its OpenVPN has gone;
    // that OpenVPN ends before, and then after, the next launch.
    daemon.send({"prepareforconnect", "serveraddress", "198.51.100.8"});
    ASSERT_EQ(::kill(first, SIGTERM), 0);
    ASSERT_TRUE(daemon.waitLogged("OpenVpn (PID " + std::to_string(first) +
                                  ") of an earlier connection attempt ended; the newer attempt "
                                  "is left as it is"));
    EXPECT_TRUE(sandbox->hasRoute4(serverRoute));
    ASSERT_EQ(launch(ordinaryCommandLine), "true");
    const pid_t second = lastChild();
    daemon.send({"prepareforconnect", "serveraddress", "198.51.100.8"});
    // The third launch ends the second, which belongs to an earlier attempt.
    ASSERT_EQ(launch(ordinaryCommandLine), "true");
    EXPECT_TRUE(eventually([&] { return !processExists(second); }));
    EXPECT_TRUE(sandbox->hasRoute4(serverRoute));
    EXPECT_FALSE(daemon.logged("Disabling LockDown Mode"));
    EXPECT_FALSE(
        daemon.logged("Error 2 trying to open pre-existing DNS configuration file, "
                      "system status may be compromised."));
}

TEST_F(OpenVpnLaunch, TheChildEndingWhileTheClientReportsTheCloseTearsDownOnceIn50Rounds) {
    daemon.send({"enablelockdown"});
    const auto closeFrame = frame("connectionclosed");
    for (int round = 1; round <= 50; ++round) {
        daemon.send({"prepareforconnect", "connectionsuccesful"});
        const std::set<pid_t> before = threadsOf(daemon.pid());
        ASSERT_EQ(launch(ordinaryCommandLine), "true") << "round " << round;
        const pid_t child = lastChild();
        // The launch adds the process watcher and nothing else: the route watchers run
        // already, and so does any helper thread of a sanitizer's runtime.
        const std::set<pid_t> after = threadsOf(daemon.pid());
        std::vector<pid_t> watcher;
        std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                            std::back_inserter(watcher));
        ASSERT_EQ(watcher.size(), 1u) << "round " << round;

        // Both at once, in either order: the child's end and the client's report of the close.
        telvorctl::Connection client = daemon.connect();
        telvorctl::Error error{};
        if (round % 2 == 0) {
            ASSERT_EQ(::kill(child, SIGTERM), 0);
            ASSERT_TRUE(client.send(closeFrame, error)) << error.message;
        } else {
            ASSERT_TRUE(client.send(closeFrame, error)) << error.message;
            ASSERT_EQ(::kill(child, SIGTERM), 0);
        }
        ASSERT_TRUE(client.finish(30s, error)) << error.message;
        // The watcher ends once it has run its close, or found it already done.
        ASSERT_TRUE(eventually([&] { return !threadsOf(daemon.pid()).contains(watcher[0]); }))
            << "round " << round;
        ASSERT_EQ(daemon.countLogged("Disabling LockDown Mode"), round) << "round " << round;
        ASSERT_FALSE(processExists(child)) << "round " << round;
    }
    EXPECT_TRUE(zombieChildren(daemon.pid()).empty());
    EXPECT_EQ(sandbox->countRoutes4("default"), 0) << must("ip route show");
}

// --- the launch policy ---------------------------------------------------------------------

class OpenVpnLaunchPolicy : public OpenVpnLaunch {
  protected:
    // Expects the command line refused with a message naming `option`, and nothing run.
    void expectRefused(const std::string& commandLine, const std::string& option) {
        EXPECT_EQ(launch(commandLine), "false");
        EXPECT_TRUE(loggedLike(daemon, "Refusing the OpenVpn command line: ", option))
            << joined(daemon.messages());
        EXPECT_TRUE(daemon.launchedPids().empty());
        EXPECT_TRUE(fake->records().empty()) << "the program ran";
    }
};

TEST_F(OpenVpnLaunchPolicy, ACommandLineThatRunsAScriptIsRefused) {
    expectRefused("openvpn --dev null --script-security 2 --up /tmp/x.sh", "--script-security");
}

TEST_F(OpenVpnLaunchPolicy, ACommandLineThatWritesAFileIsRefusedAndTheFileStaysAbsent) {
    expectRefused("openvpn --client --dev tun --log /etc/x", "--log");
    EXPECT_NE(::access("/etc/x", F_OK), 0);
}

TEST_F(OpenVpnLaunchPolicy, AConfigurationFileThatRunsAProgramIsRefusedByLineWithoutEchoingIt) {
    const std::string file = sandbox->scratch() + "/client.conf";
    writeFile(file,
              "client\n"
              "# up /tmp/commented.sh\n"
              "dev tun\n"
              "<ca>\nup /tmp/inline-data.sh\n</ca>\n"
              "up /tmp/x.sh\n");
    expectRefused("openvpn --config " + file, file + " line 7: up");
    for (const std::string& message : daemon.messages()) {
        EXPECT_EQ(message.find("/tmp/x.sh"), std::string::npos) << message;
    }
}

TEST_F(OpenVpnLaunchPolicy, AnOrdinaryConfigurationFileInTheProgramsDirectoryStarts) {
    writeFile(fake->directory() + "/client.conf",
              "# an ordinary client\n"
              "client\n"
              "dev tun\n"
              "proto udp\n"
              "remote 198.51.100.7 1194\n"
              "; the certificate inline\n"
              "<ca>\n-----BEGIN CERTIFICATE-----\nup\n-----END CERTIFICATE-----\n</ca>\n"
              "cert b\n"
              "key c\n"
              "auth-user-pass\n"
              "management 127.0.0.1 7505\n"
              "verb 3\n");
    writeFile(fake->directory() + "/b", "CERT");
    writeFile(fake->directory() + "/c", "KEY");
    // A relative name is read from the directory the program starts in, and names in the
    // file from the file's own directory.
    EXPECT_EQ(launch("openvpn --config client.conf"), "true");
    const auto record = fake->waitRecord(lastChild());
    ASSERT_TRUE(record.has_value());
    // The program reads a private copy of what was checked, which its owner cannot change,
    // naming private copies of the files it names.
    ASSERT_EQ(record->argv.size(), withDaemonOptions({"openvpn", "--config", "copy"}).size());
    const std::string copy = record->argv[2];
    EXPECT_TRUE(copy.starts_with("/run/telvord/openvpn-")) << copy;
    const std::string text = readFile(copy);
    EXPECT_TRUE(text.starts_with("client\ndev tun\nproto udp\nremote 198.51.100.7 1194\n<ca>\n"))
        << text;
    EXPECT_EQ(text.find("cert b\n"), std::string::npos) << text;
    const std::size_t cert = text.find("cert /run/telvord/openvpn-");
    ASSERT_NE(cert, std::string::npos) << text;
    const std::string certCopy = text.substr(cert + 5, text.find('\n', cert) - cert - 5);
    EXPECT_EQ(readFile(certCopy), "CERT");
    struct stat st {};
    ASSERT_EQ(::stat(certCopy.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    // The copies go when that OpenVPN ends.
    ASSERT_EQ(::kill(lastChild(), SIGTERM), 0);
    EXPECT_TRUE(eventually([&] { return ::access(copy.c_str(), F_OK) != 0; }));
    EXPECT_NE(::access(certCopy.c_str(), F_OK), 0);
}

// --- who drove the daemon ------------------------------------------------------------------

class ClientAudit : public SystemTest {
  protected:
    void SetUp() override {
        SystemTest::SetUp();
        if (IsSkipped()) return;
        daemon.start();
    }
};

TEST_F(ClientAudit, ARootClientIsLoggedAsUidZero) {
    daemon.send({"enableforced"});
    EXPECT_TRUE(daemon.logged("Client connection is owned by uid 0"));
}

TEST_F(ClientAudit, AnUnprivilegedClientIsLoggedWithItsOwnUid) {
    // A copy the unprivileged user can reach wherever the build tree lies.
    const std::string client = sandbox->scratch() + "/telvorctl";
    std::filesystem::copy_file(telvorctlBinary(), client);
    ASSERT_EQ(::chmod(client.c_str(), 0755), 0);
    must("setpriv --reuid 65534 --regid 65534 --clear-groups " + client + " --port " +
         std::to_string(daemon.port()) + " enableforced");
    EXPECT_TRUE(daemon.logged("Enabling forced mode"));
    EXPECT_TRUE(daemon.logged("Client connection is owned by uid 65534"));
    EXPECT_FALSE(daemon.logged("Client connection is owned by uid 0"));
}

}  // namespace
}  // namespace systest
