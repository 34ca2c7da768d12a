// What an unprivileged local user can make the daemon do with the real OpenVPN program: the
// client runs as uid 65534, as any user of the host could, and every attack a user could try
// on the launcher gets "false" with a log line that says why, and changes nothing.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "system_test.h"
#include "util/unique_fd.h"

namespace systest {
namespace {

constexpr const char* openVpnProgram = "/usr/sbin/openvpn";

// An HTTP proxy of the test's own on 127.0.0.1 that records the request of every client.
class RecordingProxy {
  public:
    RecordingProxy() : listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(listener_.get(), 8) != 0 ||
            ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("cannot listen for the proxy");
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~RecordingProxy() {
        stop_ = true;
        thread_.join();
    }
    int port() const { return port_; }
    std::string received() const {
        const std::lock_guard lock(mutex_);
        return received_;
    }

  private:
    void serve() {
        while (!stop_) {
            pollfd ready{listener_.get(), POLLIN, 0};
            if (::poll(&ready, 1, 100) <= 0) continue;
            const util::unique_fd client(
                ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!client) continue;
            record(client.get());
        }
    }
    void record(int client) {
        std::string request;
        char chunk[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
            pollfd ready{client, POLLIN, 0};
            if (::poll(&ready, 1, 2000) <= 0) break;
            const ssize_t count = ::recv(client, chunk, sizeof chunk, 0);
            if (count <= 0) break;
            request.append(chunk, static_cast<std::size_t>(count));
        }
        const std::lock_guard lock(mutex_);
        received_ += request;
    }

    util::unique_fd listener_;
    int port_ = 0;
    std::atomic<bool> stop_ = false;
    mutable std::mutex mutex_;
    std::string received_;
    std::thread thread_;
};

// Basic credentials as OpenVPN sends them to a proxy.
std::string basicCredentials(const std::string& user, const std::string& password) {
    return must("printf %s " + shellQuoted(user + ":" + password) + " | base64 -w0");
}

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

    // A root-only file whose two lines, a user name and a password, must never leave it.
    std::string rootSecret() const {
        const std::string path = sandbox->scratch() + "/root-only";
        writeFile(path, "the-secret-user\nthe-secret-pass\n");
        EXPECT_EQ(::chmod(path.c_str(), 0600), 0);
        return path;
    }
    // A static key of the user's own, so that OpenVPN needs no certificates to start.
    std::string userKey() {
        const std::string path = home + "/static.key";
        must(std::string(openVpnProgram) + " --genkey secret " + path);
        EXPECT_EQ(::chown(path.c_str(), 65534, 65534), 0);
        return path;
    }

    std::string client;
    std::string home;
};

// A configuration that reaches a server through the HTTP proxy at 127.0.0.1:`port`, giving it
// `credentials` (a file and "basic", or none), and gives up on the proxy's answer in 3 s.
std::string throughProxy(int port, const std::string& credentials, const std::string& key,
                         const std::string& server = "192.0.2.1") {
    return "dev null\nproto tcp-client\nremote " + server + " 1194\nhttp-proxy 127.0.0.1 " +
           std::to_string(port) + " " + credentials + "\nsecret " + key +
           "\ncipher AES-256-CBC\nserver-poll-timeout 3\n";
}

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

// OpenVPN starts in the directory of the program it is, never in one a link of the user's
// lies in, and the daemon never moves.
TEST_F(UnprivilegedClient, TheWorkingDirectoryIsTheProgramsOwnAndTheDaemonStaysWhereItIs) {
    const std::string cwd =
        std::filesystem::read_symlink("/proc/" + std::to_string(daemon.pid()) + "/cwd").string();
    for (const char* name : {"openvpn-x", "openvpn"}) {
        must("setpriv --reuid=65534 --regid=65534 --clear-groups ln -s " +
             std::string(openVpnProgram) + " " + home + "/" + name);
        EXPECT_EQ(launch(home + "/" + name, "openvpn --verb 3"), "true\n");
    }
    EXPECT_EQ(daemon.countLogged("Working directory changed to /usr/sbin"), 2);
    EXPECT_FALSE(loggedContaining("Working directory changed to " + home));
    EXPECT_TRUE(daemon.running());
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(daemon.pid()) + "/cwd"), cwd);
}

// Only an OpenVPN binary runs: not a script named openvpn (the openvpn package's init script,
// root's own), neither by its path nor through a link of the user's.
TEST_F(UnprivilegedClient, AScriptNamedOpenVpnNeverRuns) {
    const std::string script = "/etc/init.d/openvpn";  // /etc is the sandbox's own
    if (::access(script.c_str(), F_OK) != 0) {
        ::mkdir("/etc/init.d", 0755);
        writeFile(script, "#!/bin/sh\ntouch /run/ran-as-root\n");
        ASSERT_EQ(::chmod(script.c_str(), 0755), 0);
    }
    must("setpriv --reuid=65534 --regid=65534 --clear-groups ln -s " + script + " " + home +
         "/openvpn");
    for (const std::string& path : {script, home + "/openvpn"}) {
        expectRefused(path, "openvpn start",
                      "Refusing to run " + path +
                          " as root: it is no executable of this machine (a script, or a program "
                          "run through an interpreter)");
    }
    EXPECT_NE(::access("/run/ran-as-root", F_OK), 0);
}

// A path through a directory only root may enter resolves as the user resolves it: the reply
// is the same whether what lies behind it exists or not.
TEST_F(UnprivilegedClient, APathThroughADirectoryTheUserCannotEnterTellsNothing) {
    const std::string closed = sandbox->scratch() + "/closed";
    ASSERT_EQ(::mkdir(closed.c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((closed + "/x").c_str(), 0700), 0);
    std::string up;
    for (const char c : closed + "/x")
        up += c == '/' ? "../" : "";
    for (const char* name : {"/x/", "/y/"}) {
        const std::string path = closed + name + up + "usr/sbin/openvpn";
        expectRefused(
            path, "openvpn --verb 3",
            "Refusing to run " + path + " as root: it cannot be resolved: Permission denied");
    }
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

// A configuration that names many large files, or one file over and over: what its launch may
// copy into /run is bounded, and nothing of a refused launch stays there.
TEST_F(UnprivilegedClient, ALaunchCannotFillRun) {
    std::string configuration = "dev null\nsecret " + userKey() + "\n";
    for (int i = 0; i < 20; ++i)
        configuration +=
            "ca " + userFile("ca" + std::to_string(i), std::string(300 << 10, 'c')) + "\n";
    expectRefused(openVpnProgram, "openvpn --config " + userFile("many.conf", configuration),
                  "ca could not be copied: a launch holds at most 4 MiB of files");
    std::string again = "dev null\n";
    for (int i = 0; i < 200; ++i)
        again += "ca " + home + "/ca0\n";
    EXPECT_EQ(launch(openVpnProgram, "openvpn --config " + userFile("again.conf", again) +
                                         " --secret " + home + "/static.key --cipher AES-256-CBC"),
              "true\n");
    std::size_t copies = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/run/telvord"))
        copies += entry.path().filename().string().starts_with("openvpn-") ? 1 : 0;
    EXPECT_LE(copies, 3u);  // the configuration, the key and the one certificate file
    EXPECT_NE(asNobody("status --json").find("\"statefile\":\"saved\""), std::string::npos);
}

// A persistent tun device that root made for another user (or a virtual machine): root's
// OpenVPN would attach to it, and what the host routes into it would go to this user's peer.
TEST_F(UnprivilegedClient, AnotherUsersTunDeviceIsNeverTaken) {
    sandbox->adopt("alice0");
    sandbox->adopt("tun7");
    must("ip tuntap add dev alice0 mode tun user 1000");
    const std::string start = "openvpn --secret " + userKey() +
                              " --cipher AES-256-CBC --remote 192.0.2.1 --nobind --dev-type tun ";
    expectRefused(openVpnProgram, start + "--dev alice0",
                  "--dev names alice0, which exists already: OpenVPN may only make a device of "
                  "its own");
    EXPECT_NE(must("ip -d link show alice0").find("persist on user"), std::string::npos);
    // A device of a new name OpenVPN makes itself.
    EXPECT_EQ(launch(openVpnProgram, start + "--dev tun7"), "true\n");
    EXPECT_TRUE(eventually([] { return sh("ip link show tun7").status == 0; }));
}

TEST_F(UnprivilegedClient, CopiesAnEarlierRunLeftBehindAreRemovedAtStart) {
    daemon.stop();
    ::mkdir("/run/telvord", 0700);
    writeFile("/run/telvord/openvpn-7-0", "left behind");
    daemon.start();
    EXPECT_NE(::access("/run/telvord/openvpn-7-0", F_OK), 0);
}

// OpenVPN runs as root, so a connection it makes to the control port must never count as a
// client's: here a user has it send a proxy request padded so that a frame begins inside it
// with a command line that would have root read a root-only file into another OpenVPN, which
// sends it to the user's proxy.
TEST_F(UnprivilegedClient, OpenVpnMadeAClientOfTheControlPortIsRefusedAndStartsNothing) {
    const std::string key = userKey();
    const RecordingProxy userProxy;
    const std::string evil =
        userFile("evil.conf", throughProxy(userProxy.port(), rootSecret() + " basic", key));
    const std::string injected = "openvpn --config " + evil + " --verb ";

    // The request: "CONNECT host:1194", a Host line, eight padding headers from the command
    // line and the injected one last, from the configuration, where it may hold spaces.
    const std::string host = std::string(180, 'h') + ".example.test";
    std::size_t left =
        4096 - ("CONNECT " + host + ":1194 HTTP/1.0\r\nHost: " + host + "\r\n").size();
    std::string padding;
    for (std::size_t i = 0; i < 8; ++i) {
        const std::string name = "X-" + std::to_string(i);
        const std::size_t length = left / (8 - i) - name.size() - 4;  // ": " and CR LF
        padding += " --http-proxy-option CUSTOM-HEADER " + name + " " + std::string(length, 'a');
        left -= name.size() + 4 + length;
    }
    const auto first = [&](int proxyPort) {
        return throughProxy(proxyPort, "", key, host) + "http-proxy-option CUSTOM-HEADER Host " +
               host + "\nhttp-proxy-option CUSTOM-HEADER commandline \"" + injected + "\"\n";
    };
    {
        // The request lands as built: its second frame begins with the command line.
        const RecordingProxy probe;
        writeFile(sandbox->scratch() + "/probe.conf", first(probe.port()));
        const pid_t pid =
            std::stoi(must(std::string(openVpnProgram) + padding + " --config " +
                           sandbox->scratch() + "/probe.conf >/dev/null 2>&1 & echo $!"));
        eventually([&] { return probe.received().size() >= 4096 + 13 + injected.size(); });
        ::kill(pid, SIGTERM);
        ASSERT_EQ(probe.received().substr(4096, 13 + injected.size()), "commandline: " + injected);
    }

    const std::string firstConfiguration = userFile("first.conf", first(daemon.port()));
    ASSERT_EQ(launch(openVpnProgram, "openvpn" + padding + " --config " + firstConfiguration),
              "true\n");
    const std::vector<pid_t> launched = daemon.launchedPids();
    ASSERT_EQ(launched.size(), 1u);
    EXPECT_TRUE(
        daemon.waitLogged("Refusing the client connection of uid 0: its socket is held by PID " +
                          std::to_string(launched[0]) + ", which the daemon started"));
    EXPECT_EQ(daemon.launchedPids(), launched);
    EXPECT_EQ(userProxy.received(), "");
}

// A low port named outright, by a number getaddrinfo cuts to 16 bits, or through the protocol
// of a remote; a user's own launch on a port of its own still starts.
TEST_F(UnprivilegedClient, OpenVpnBindsNoPortBelow1024ForAUser) {
    const std::string start = "openvpn --dev null --secret " + userKey() + " --cipher AES-256-CBC ";
    const struct {
        std::string options, logged;
    } attacks[] = {
        {"--remote 192.0.2.1 --proto udp --lport 53",
         "--lport would have OpenVPN bind port 53, below 1024"},
        {"--remote 192.0.2.1 --proto tcp-server --lport 22",
         "--lport would have OpenVPN listen on port 22, below 1024"},
        {"--remote 192.0.2.1 --lport 65589", "--lport names the port 65589, which is no number"},
        {"--remote 192.0.2.1 --proto tcp-server --port 65558", "--port names the port 65558"},
        {"--remote 192.0.2.1 --nobind --management 127.0.0.1 65561",
         "--management is allowed on 127.0.0.1 or ::1 and a port only"},
        {"--proto tcp-client --port 22 --remote 192.0.2.1 22 tcp-server",
         "--remote would have OpenVPN listen on port 22, below 1024"},
        {"--proto tcp-client --port 53 --remote 192.0.2.1 53 udp",
         "--remote would have OpenVPN bind port 53, below 1024"},
    };
    for (const auto& attack : attacks)
        expectRefused(openVpnProgram, start + attack.options, attack.logged);
    EXPECT_EQ(must("ss -H -lntu 'sport < :1024'"), "");
    EXPECT_EQ(launch(openVpnProgram, start + "--remote 192.0.2.1 1194 udp --lport 11940"),
              "true\n");
    EXPECT_TRUE(eventually([] { return !must("ss -H -lnu 'sport = :11940'").empty(); }));
}

// A configuration the administrator provided in /etc/openvpn, with the credentials for its
// proxy beside it, neither readable by users; its proxy is one of the test's own.
class ProvidedConfiguration : public UnprivilegedClient {
  protected:
    void SetUp() override {
        UnprivilegedClient::SetUp();
        if (IsSkipped()) return;
        adminProxy.emplace();
        ::mkdir("/etc/openvpn", 0755);
        must(std::string(openVpnProgram) + " --genkey secret /etc/openvpn/static.key");
        writeFile("/etc/openvpn/proxy-auth.txt", "corp-user\ncorp-pass\n");
        writeFile(corp, throughProxy(adminProxy->port(), "proxy-auth.txt basic", "static.key"));
        must("chmod 600 /etc/openvpn/static.key /etc/openvpn/proxy-auth.txt " + corp);
    }

    const std::string corp = "/etc/openvpn/corp.conf";
    std::optional<RecordingProxy> adminProxy;
};

// The names in a provided configuration are read as root, so they count from where it really
// lies, never from a directory of the user's that a link or ".." leads through.
TEST_F(ProvidedConfiguration, ItsNamesAreReadOnlyWhereItReallyLies) {
    const std::string evil = home + "/evil";
    must("setpriv --reuid=65534 --regid=65534 --clear-groups sh -ec 'mkdir " + evil + "; ln -s " +
         corp + " " + evil + "/corp.conf; ln -s " + rootSecret() + " " + evil +
         "/proxy-auth.txt; ln -s /etc/openvpn/static.key " + evil + "/static.key'");
    expectRefused(openVpnProgram, "openvpn --config /etc/openvpn/../.." + evil + "/corp.conf",
                  "through '..'");
    expectRefused(openVpnProgram, "openvpn --config " + evil + "/corp.conf",
                  "names a file that cannot be read: Permission denied");
    EXPECT_EQ(adminProxy->received(), "");
}

TEST_F(ProvidedConfiguration, ItsSecretsGoOnlyWhereItSaysThoughMoreVerbosityMayBeAdded) {
    const RecordingProxy userProxy;
    expectRefused(openVpnProgram,
                  "openvpn --config " + corp + " --http-proxy 127.0.0.1 " +
                      std::to_string(userProxy.port()) + " auto",
                  "--http-proxy may not be added to a configuration the administrator provided");
    EXPECT_EQ(launch(openVpnProgram, "openvpn --config " + corp + " --verb 4"), "true\n");
    // Its credentials, read as root from beside it, go to its own proxy and nowhere else.
    const std::string credentials = basicCredentials("corp-user", "corp-pass");
    EXPECT_TRUE(
        eventually([&] { return adminProxy->received().find(credentials) != std::string::npos; }));
    EXPECT_EQ(userProxy.received(), "");
}

}  // namespace
}  // namespace systest
