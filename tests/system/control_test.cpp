// The control channel of the real daemon: port file, clients, frames, start-up switches.

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <set>
#include <thread>

#include "system_test.h"

namespace systest {
namespace {

class ControlChannel : public SystemTest {};

TEST_F(ControlChannel, PortFileHoldsTheListeningPortWithMode0674) {
    daemon.start();
    EXPECT_EQ(readFile(Daemon::portFile), std::to_string(daemon.port()));
    struct stat st {};
    ASSERT_EQ(::lstat(Daemon::portFile, &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0674u);
    EXPECT_TRUE(daemon.logged("Port number " + std::to_string(daemon.port()) + " written to " +
                              Daemon::portFile + ", call listen()"));
}

TEST_F(ControlChannel, PlantedLinkAtThePortFileIsReplacedNotFollowed) {
    writeFile("/etc/victim", "precious");
    ASSERT_EQ(::symlink("/etc/victim", Daemon::portFile), 0);
    daemon.start();
    EXPECT_EQ(readFile("/etc/victim"), "precious");
    EXPECT_EQ(readFile(Daemon::portFile), std::to_string(daemon.port()));
}

TEST_F(ControlChannel, ClientShutdownEndsTheConnectionAndTheNextClientIsServed) {
    daemon.start();
    const int port = daemon.port();
    // Frames after "clientshutdown:" are never read.
    daemon.send({"enableforced", "clientshutdown", "disableforced"});
    EXPECT_TRUE(daemon.waitLogged("Client sent shutdown message"));
    EXPECT_FALSE(daemon.logged("Disabling forced mode"));

    daemon.send({"disableforced"});
    EXPECT_TRUE(daemon.waitLogged("Disabling forced mode"));
    EXPECT_EQ(readFile(Daemon::portFile), std::to_string(port));
    EXPECT_EQ(daemon.countLogged(
                  "Client connected, waiting for OpenVpn information from the telvor client"),
              2);
}

TEST_F(ControlChannel, APartialFrameBeforeCloseIsDispatched) {
    daemon.start();
    telvorctl::Connection client = daemon.connect();
    const std::string text = "enableforced:";
    ASSERT_EQ(::send(client.fd(), text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
    telvorctl::Error error{};
    ASSERT_TRUE(client.finish(5s, error));
    EXPECT_TRUE(daemon.logged("Enabling forced mode"));
    EXPECT_TRUE(daemon.logged("Client has closed the connection"));
}

TEST_F(ControlChannel, RandomFramesLeaveTheDaemonServing) {
    daemon.start();
    std::mt19937 random(20261208);
    // Keywords that neither end the connection nor wait for a reply, with random arguments.
    const std::vector<std::string> keywords = {"path:",
                                               "enableforced:",
                                               "disableforced:",
                                               "enablelockdown:",
                                               "disablelockdown:",
                                               "prepareforconnect:",
                                               "connectionfailed:",
                                               "connectionsuccesful:",
                                               "connectionsuccesful4:",
                                               "connectionsuccesful6:",
                                               "connectionclosed:",
                                               "serveraddress:",
                                               "serveraddress6:",
                                               "dnsaddress:",
                                               "dnsaddress6:",
                                               "replacedns:",
                                               "restoredns:"};
    telvorctl::Connection client = daemon.connect();
    telvorctl::Error error{};
    for (int i = 0; i < 2000; ++i) {
        telvorctl::FrameBytes frame{};
        std::size_t start = 0;
        if (i % 2 == 0) {
            const std::string& keyword = keywords[random() % keywords.size()];
            std::copy(keyword.begin(), keyword.end(), frame.begin());
            start = keyword.size();
        }
        const std::size_t length = start + random() % (frame.size() - start + 1);
        for (std::size_t b = start; b < length; ++b)
            frame[b] = static_cast<char>(random());
        ASSERT_TRUE(client.send(frame, error)) << error.message;
    }
    ASSERT_TRUE(client.finish(120s, error)) << error.message;
    ASSERT_TRUE(daemon.running());

    const int before = daemon.countLogged("Enabling forced mode");
    daemon.send({"enableforced"});
    EXPECT_EQ(daemon.countLogged("Enabling forced mode"), before + 1);
}

// The lowest descriptor number that `pid` does not use: the next one it would get.
int nextDescriptor(pid_t pid) {
    std::set<int> used;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
        used.insert(std::stoi(entry.path().filename()));
    int next = 0;
    while (used.count(next) != 0)
        ++next;
    return next;
}

TEST_F(ControlChannel, RunningOutOfDescriptorsPausesTheDaemonInsteadOfEndingIt) {
    daemon.start();
    const std::string limit = "prlimit --pid " + std::to_string(daemon.pid()) + " --nofile=";
    must(limit + std::to_string(nextDescriptor(daemon.pid())) + ":");
    std::thread client([&] { daemon.send({"enableforced"}); });
    // The daemon waits in accept() with the client's descriptor already taken, so it runs
    // short either there or when it looks up who the client is.
    const bool refused = eventually([&] {
        const auto all = daemon.messages();
        return std::any_of(all.begin(), all.end(), [](const std::string& message) {
            return message.ends_with(" failed, error is 24:Too many open files; retrying in 10 ms");
        });
    });
    must(limit + "1024:");
    client.join();
    EXPECT_TRUE(refused);
    EXPECT_TRUE(daemon.running());
    EXPECT_TRUE(daemon.logged("Enabling forced mode"));
}

// Several clients at once, and who may change what the daemon does.
class ManyClients : public SystemTest {
  protected:
    void SetUp() override {
        SystemTest::SetUp();
        if (IsSkipped()) return;
        configure();
        daemon.start();
        // A copy of telvorctl that other users can reach wherever the build tree lies.
        client = sandbox->scratch() + "/telvorctl";
        std::filesystem::copy_file(telvorctlBinary(), client);
        ASSERT_EQ(::chmod(client.c_str(), 0755), 0);
    }
    // Prepares the sandbox's host before the daemon starts.
    virtual void configure() {}

    // A connection of `uid` that the daemon serves.
    util::unique_fd connectServed(uid_t uid) {
        const std::string owned = "Client connection is owned by uid " + std::to_string(uid);
        const int before = daemon.countLogged(owned);
        util::unique_fd socket = connectAs(uid, daemon.port());
        EXPECT_TRUE(eventually([&] { return daemon.countLogged(owned) > before; }));
        return socket;
    }

    // telvorctl run as `uid` with `arguments`.
    CommandResult telvorctlAs(uid_t uid, const std::string& arguments) {
        const std::string id = std::to_string(uid);
        return sh("setpriv --reuid=" + id + " --regid=" + id + " --clear-groups " + client +
                  " --port " + std::to_string(daemon.port()) + " " + arguments);
    }

    // telvorctl with `arguments`, run as root of a user namespace that nobody (65534) made and
    // whose users the host maps to 100000 and up, as a subordinate range of nobody's would:
    // its sockets are those of uid 100000. This process has threads (a sanitizer's too), so its
    // child only execs: a shell of nobody's makes the namespace and holds it, says so on
    // descriptor 3 and waits on descriptor 4 while telvorctl is run in it by nsenter.
    CommandResult telvorctlInUserNamespace(const std::string& arguments) {
        int ready[2], done[2];
        if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(done, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        const pid_t holder = ::fork();
        if (holder == 0) {
            if (::dup2(ready[1], 3) < 0 || ::dup2(done[0], 4) < 0) ::_exit(120);
            ::execl("/usr/bin/setpriv", "setpriv", "--reuid=65534", "--regid=65534",
                    "--clear-groups", "unshare", "--user", "sh", "-c", "echo r >&3; read x <&4",
                    nullptr);
            ::_exit(121);
        }
        ::close(ready[1]);
        ::close(done[0]);
        char byte = 0;
        EXPECT_EQ(::read(ready[0], &byte, 1), 1);
        const std::string id = std::to_string(holder);
        writeFile("/proc/" + id + "/uid_map", "0 100000 65536\n");
        writeFile("/proc/" + id + "/gid_map", "0 100000 65536\n");
        // nsenter becomes the namespace's root: uid 100000 of the host.
        const CommandResult result =
            sh("nsenter --user --target " + id + " " + client + " --port " +
               std::to_string(daemon.port()) + " " + arguments + " 2>&1");
        ::close(done[1]);
        ::close(ready[0]);
        int status = 0;
        ::waitpid(holder, &status, 0);
        return result;
    }

    std::string client;
};

// What the daemon sends on `socket` until it closes it.
std::string readUntilClosed(int socket) {
    std::string text;
    char chunk[4096];
    for (;;) {
        pollfd ready{socket, POLLIN, 0};
        if (::poll(&ready, 1, 5000) != 1) return text + "(no close)";
        const ssize_t count = ::recv(socket, chunk, sizeof chunk, 0);
        if (count <= 0) return text.substr(0, text.find('\0'));
        text.append(chunk, static_cast<std::size_t>(count));
    }
}

TEST_F(ManyClients, AnotherUsersStalledConnectionHoldsUpNobody) {
    const util::unique_fd stalled = connectServed(65534);
    ASSERT_EQ(::send(stalled.get(), "enableforced:", 13, 0), 13);

    daemon.send({"enablelockdown"});
    EXPECT_TRUE(daemon.logged("Enabling lockdown"));
    const CommandResult status = telvorctlAs(0, "status");
    EXPECT_EQ(status.status, 0) << status.output;
    EXPECT_NE(status.output.find("lockdown, not connected"), std::string::npos) << status.output;
    EXPECT_FALSE(daemon.logged("Enabling forced mode"));

    // The stalled frame is its connection's own: completed, it is handled in turn.
    const std::string rest(telvorctl::frameSize - 13, '\0');
    ASSERT_EQ(::send(stalled.get(), rest.data(), rest.size(), 0),
              static_cast<ssize_t>(rest.size()));
    EXPECT_TRUE(daemon.waitLogged("Enabling forced mode"));
}

TEST_F(ManyClients, UsersHoldOnlyTheirShareOfConnectionsAndRootStillGetsIn) {
    std::vector<util::unique_fd> held;
    for (uid_t uid = 60000; uid < 60008; ++uid) {
        for (int i = 0; i < 4; ++i)
            held.push_back(connectServed(uid));
    }
    // A fifth connection of one user, and one of any user beyond the 32, are refused with a
    // frame that says why.
    const util::unique_fd fifth = connectAs(60000, daemon.port());
    const util::unique_fd beyond = connectAs(60008, daemon.port());
    EXPECT_EQ(readUntilClosed(fifth.get()), "refused:connection\nit holds 4 connections already");
    EXPECT_EQ(readUntilClosed(beyond.get()),
              "refused:connection\n32 connections of users other than root are open");
    EXPECT_TRUE(daemon.logged(
        "Refusing the client connection of uid 60000: it holds 4 connections already"));
    const CommandResult refused = telvorctlAs(60000, "enableforced status");
    EXPECT_EQ(refused.status, telvorctl::exitConnectionRefused) << refused.output;
    EXPECT_NE(refused.output.find("telvorctl: telvord refused the connection: it holds 4 "
                                  "connections already"),
              std::string::npos)
        << refused.output;
    EXPECT_FALSE(daemon.logged("Enabling forced mode"));

    // Root counts against no bound: not even root's own idle connections lock root out.
    for (int i = 0; i < 6; ++i)
        held.push_back(connectServed(0));
    daemon.send({"enableforced"});
    EXPECT_TRUE(daemon.logged("Enabling forced mode"));
    // A connection that ends gives its place back.
    held.erase(held.begin() + 31);
    EXPECT_TRUE(eventually([&] {
        const util::unique_fd next = connectAs(60008, daemon.port());
        return !closedByPeer(next.get(), 200ms);
    }));
}

// A user with a subordinate range of uids has sockets of many uids: each connection counts as
// the user who owns the range, and no such user takes more than their own share; where an
// account has a uid of the range, which of the two made a socket cannot be told, and it is
// refused rather than served as that account.
TEST_F(ManyClients, AConnectionFromAUserNamespaceCountsAsTheRangesOwner) {
    writeFile("/etc/subuid", "nobody:100000:65536\n");  // the sandbox's own /etc
    std::vector<util::unique_fd> held;
    for (int i = 0; i < 4; ++i)
        held.push_back(connectServed(65534));
    const CommandResult full = telvorctlInUserNamespace("enableforced");
    EXPECT_EQ(full.status, telvorctl::exitConnectionRefused) << full.output;
    EXPECT_TRUE(daemon.logged(
        "Refusing the client connection of uid 65534: it holds 4 connections already"));
    EXPECT_FALSE(daemon.logged("Enabling forced mode"));

    held.clear();
    const CommandResult served = telvorctlInUserNamespace("enableforced");
    EXPECT_EQ(served.status, 0) << served.output;
    EXPECT_TRUE(daemon.waitLogged("Enabling forced mode"));
    EXPECT_TRUE(
        daemon.logged("Client connection is owned by uid 65534 (its socket was made as uid "
                      "100000, of that user's subordinate range)"));

    must("useradd -M -u 100000 alice");  // an account the range overlaps
    const CommandResult overlapped = telvorctlInUserNamespace("disablelockdown");
    EXPECT_EQ(overlapped.status, telvorctl::exitConnectionRefused) << overlapped.output;
    EXPECT_NE(overlapped.output.find("uid 100000 is an account and lies in the subordinate range "
                                     "of uid 65534"),
              std::string::npos)
        << overlapped.output;
    EXPECT_FALSE(daemon.logged("Client connection is owned by uid 100000"));
}

// A peer that closes before the daemon takes its connection is refused as unknown, without a
// look at /proc, and the next client is served.
TEST_F(ManyClients, APeerGoneBeforeTheAcceptIsRefusedAsUnknown) {
    daemon.kill(SIGSTOP);
    for (int i = 0; i < 50; ++i)
        connectAs(65534, daemon.port()).reset();
    daemon.kill(SIGCONT);
    EXPECT_TRUE(eventually([&] {
        return daemon.countLogged(
                   "Refusing a client connection of an unknown user: it closed "
                   "its end before it was accepted") == 50;
    }));
    EXPECT_FALSE(daemon.logged("Refusing the client connection of uid 0"));
    daemon.send({"enableforced"});
    EXPECT_TRUE(daemon.logged("Enabling forced mode"));
}

class ControlGroup : public ManyClients {
  protected:
    void configure() override {
        // In the sandbox's own /etc: daemon (uid 1) is a member, nobody (uid 65534) is not.
        must("groupadd -U daemon telvor");
        writeConfiguration("controlgroup=telvor\n");
    }
};

TEST_F(ControlGroup, AnOtherUserMayOnlyAskForTheModeWhileMembersAndRootDriveTheDaemon) {
    daemon.send({"enablelockdown"});
    const std::string resolver = readFile("/etc/resolv.conf");

    const CommandResult other = telvorctlAs(65534, "disablelockdown replacedns 192.0.2.53 status");
    EXPECT_EQ(other.status, telvorctl::exitRefused) << other.output;
    EXPECT_NE(other.output.find("telvord refused disablelockdown: only root and members of its "
                                "control group may send it"),
              std::string::npos)
        << other.output;
    EXPECT_NE(other.output.find("telvord refused replacedns:"), std::string::npos);
    // Its status tells the mode and the connection alone.
    EXPECT_NE(other.output.find("lockdown, not connected"), std::string::npos);
    EXPECT_EQ(other.output.find("Kill switch:"), std::string::npos) << other.output;
    EXPECT_TRUE(daemon.logged(
        "Refusing disablelockdown: from uid 65534: only root and the control group may send it"));
    EXPECT_EQ(sandbox->countRoutes4("default"), 0) << "lockdown was left";
    EXPECT_EQ(readFile("/etc/resolv.conf"), resolver);

    const CommandResult member = telvorctlAs(1, "disablelockdown status");
    EXPECT_EQ(member.status, 0) << member.output;
    EXPECT_NE(member.output.find("Kill switch:"), std::string::npos) << member.output;
    EXPECT_TRUE(sandbox->hasRoute4("default via 192.0.2.1 dev veth0")) << must("ip route");
}

class Startup : public SystemTest {};

TEST_F(Startup, WithoutTheControlLoopTheDaemonLogsItsEndAndExitsWithZero) {
    writeConfiguration("startupOpenVpn=false\n");
    daemon.start(false);
    EXPECT_EQ(daemon.waitExit(), 0);
    const auto messages = daemon.messages();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages[messages.size() - 2], "=============================================");
    EXPECT_EQ(messages.back(), "TELVOR client daemon exiting");
    EXPECT_FALSE(daemon.logged("Open socket"));
}

TEST_F(Startup, DebugLoggingOffWritesNoDebugLog) {
    writeConfiguration("debuglogging=false\n");
    daemon.start();
    daemon.send({"enableforced"});
    struct stat st {};
    EXPECT_NE(::stat(Daemon::logFile, &st), 0);
}

TEST_F(Startup, DebugLogBeginsWithTheConfigurationAndTheSeparator) {
    writeConfiguration("DebugLogging = true\n");
    daemon.start();
    const auto messages = daemon.messages();
    ASSERT_GE(messages.size(), 3u);
    EXPECT_EQ(messages[0], std::string("Debug log ") + Daemon::logFile + " opened");
    EXPECT_EQ(messages[1], "=============================================");
    EXPECT_EQ(messages[2], "Open socket");
}

TEST_F(Startup, AnUnwritablePortFileEndsTheDaemonWithStatusOne) {
    sandbox->mountTmpfs("/var/tmp", "ro");
    daemon.start(false);
    EXPECT_EQ(daemon.waitExit(), 1);
    EXPECT_TRUE(daemon.logged(std::string("Could not write the port file ") + Daemon::portFile +
                              ", exiting"));
    EXPECT_FALSE(daemon.logged("TELVOR client daemon exiting"));
}

}  // namespace
}  // namespace systest
