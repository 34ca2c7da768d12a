#include <gtest/gtest.h>

#include <map>

#include "control/policy.h"

namespace {

using control::checkLaunchPolicy;
using control::PolicyVerdict;
using Argv = std::vector<std::string>;

// The files a launch may name, and what the policy did with them.
class Files {
  public:
    std::map<std::string, std::string> disk;  // what the caller may read
    std::map<std::string, std::string> root;  // what only root may read
    std::map<std::string, bool> readAsRoot;   // each path read, and how
    std::vector<std::string> copies;

    control::FileRead read(const std::string& path, bool asRoot) {
        readAsRoot[path] = asRoot;
        if (disk.contains(path)) return control::FileRead{disk[path], {}};
        if (asRoot && root.contains(path)) return control::FileRead{root[path], {}};
        return control::FileRead{std::nullopt, "Permission denied"};
    }

    // Configurations under /etc/openvpn are the administrator's: read as root, with their
    // relative names read from their own directory.
    control::LaunchFiles seam() {
        return {
            .read = [this](const std::string& path) { return read(path, false); },
            .configuration =
                [this](const std::string& path) {
                    if (!path.starts_with("/etc/openvpn/")) {
                        return control::OpenedConfiguration{read(path, false), {}};
                    }
                    const std::string directory = path.substr(0, path.rfind('/') + 1);
                    return control::OpenedConfiguration{
                        read(path, true), [this, directory](const std::string& name) {
                            return read(name.starts_with('/') ? name : directory + name, true);
                        }};
                },
            .keep =
                [this](std::string_view text) {
                    copies.emplace_back(text);
                    return control::KeptCopy{"/run/copy-" + std::to_string(copies.size() - 1), {}};
                },
            .deviceExists = [](const std::string& name) { return name == "alice0"; },
        };
    }
};

PolicyVerdict check(Argv argv, Files& files, const std::string& directory = "/usr/sbin") {
    return checkLaunchPolicy(argv, directory, files.seam());
}

const Argv ordinaryClient = {"openvpn",
                             "--client",
                             "--dev",
                             "tun",
                             "--proto",
                             "udp",
                             "--remote",
                             "198.51.100.7",
                             "1194",
                             "--ca",
                             "/home/u/ca.crt",
                             "--auth-user-pass",
                             "--management",
                             "127.0.0.1",
                             "7505",
                             "--management-query-passwords",
                             "--verb",
                             "3",
                             "--script-security",
                             "1"};

const char* bundleConfiguration =
    "\xEF\xBB\xBF# a downloaded bundle\r\n"
    "client\r\n"
    "remote vpn.example.test 1194 udp\n"
    "ca ca.crt\n"
    "auth-user-pass \"my pass.txt\"\n"
    "<cert>\n-----BEGIN CERTIFICATE-----\nup /x\n"
    "-----END CERTIFICATE-----\n</cert>\n"
    "<connection>\nremote 198.51.100.8 443 tcp\n</connection>\n"
    "management 127.0.0.1 7505\nmanagement-query-passwords\n";

TEST(LaunchPolicy, AnOrdinaryCommandLinePassesAndItsFilesAreReadAsTheCallerIntoCopies) {
    Files files;
    files.disk["/home/u/ca.crt"] = "CA";
    Argv argv = ordinaryClient;
    ASSERT_TRUE(checkLaunchPolicy(argv, "/usr/sbin", files.seam()).allowed);
    EXPECT_EQ(argv[10], "/run/copy-0");
    EXPECT_EQ(files.copies, (std::vector<std::string>{"CA"}));
    EXPECT_EQ(files.readAsRoot, (std::map<std::string, bool>{{"/home/u/ca.crt", false}}));
    EXPECT_TRUE(check({"openvpn"}, files).allowed);
    EXPECT_TRUE(check({"openvpn", "--dev", "vpn7"}, files).allowed);
}

// Options that load code, run programs, write or delete files, open device nodes, detach,
// alter later options or leak files; and forms of allowed options that would.
const std::vector<Argv> refused = {
    {"--plugin", "/tmp/x.so"},
    {"--show-pkcs11-ids", "/tmp/x.so"},
    {"--pkcs11-providers", "/tmp/x.so"},
    {"--engine", "dynamic"},
    {"--up", "/tmp/x.sh"},
    {"--script-security", "2"},
    {"--setenv", "FORWARD_COMPATIBLE", "1"},
    {"--setenv", "opt", "up", "x"},
    {"--setenv-safe", "A", "B"},
    {"--ignore-unknown-option", "up"},
    {"--memstats", "/etc/x"},
    {"--port-share", "127.0.0.1", "8443", "/etc"},
    {"--log", "/etc/x"},
    {"--status", "/etc/x"},
    {"--writepid", "/etc/x"},
    {"--daemon"},
    {"--cd", "/tmp"},
    {"--chroot", "/tmp"},
    {"--user", "nobody"},
    {"--group", "nogroup"},
    {"--mark", "1"},
    {"--setcon", "unconfined_t"},
    {"--dev-node", "/dev/sda"},
    {"--management", "/run/x.sock", "unix"},
    {"--management", "0.0.0.0", "7505"},
    {"--management", "127.0.0.1", "x"},
    {"--crl-verify", "/tmp", "dir"},
    {"--dev", "alice0"},
    {"--dev", "tun0123456789abc"},
    {"--dev", "../tun"},
    {"--tmp-dir", "/etc"},
    {"--client", "extra"},
    {"--remote"},
};

TEST(LaunchPolicy, EveryOptionOffTheListIsRefusedByNameBeforeAnyReadAndInAFileAtItsLine) {
    for (const Argv& option : refused) {
        Files files;
        Argv argv = {"openvpn", "--client"};
        argv.insert(argv.end(), option.begin(), option.end());
        const PolicyVerdict verdict = check(argv, files);
        EXPECT_FALSE(verdict.allowed) << option[0];
        EXPECT_EQ("--" + verdict.option, option[0]);
        EXPECT_TRUE(verdict.file.empty());
        EXPECT_TRUE(files.readAsRoot.empty()) << option[0];

        std::string line = option[0].substr(2);
        for (std::size_t i = 1; i < option.size(); ++i)
            line += " " + option[i];
        files.disk["/home/u/c.ovpn"] = "client\n" + line + "\n";
        const PolicyVerdict inFile = check({"openvpn", "/home/u/c.ovpn"}, files);
        EXPECT_FALSE(inFile.allowed) << line;
        EXPECT_EQ(inFile.option, option[0].substr(2));
        EXPECT_EQ(inFile.file, "/home/u/c.ovpn");
        EXPECT_EQ(inFile.line, 2);
    }
    Files files;
    EXPECT_EQ(check({"openvpn", "stray", "--client"}, files).reason,
              "holds stray, which is no option");
    // What the daemon adds to every launch is its own to decide.
    EXPECT_EQ(check({"openvpn", "--user", "nobody"}, files).reason,
              "is for the daemon to decide, not the client");
}

TEST(LaunchPolicy, ABundleReadsItsFilesBesideItAndOpenVpnGetsACheckedCopy) {
    Files files;
    files.disk["/home/u/vpn/client.ovpn"] = bundleConfiguration;
    files.disk["/home/u/vpn/ca.crt"] = "CA";
    files.disk["/home/u/vpn/my pass.txt"] = "user\npass\n";
    Argv argv = {"openvpn", "--config", "vpn/client.ovpn", "--verb", "3"};
    const PolicyVerdict verdict = checkLaunchPolicy(argv, "/home/u", files.seam());
    ASSERT_TRUE(verdict.allowed) << verdict.reason;
    ASSERT_EQ(files.copies.size(), 3u);
    EXPECT_EQ(argv[2], "/run/copy-2");
    EXPECT_EQ(files.copies[2],
              "client\nremote vpn.example.test 1194 udp\nca /run/copy-0\n"
              "auth-user-pass /run/copy-1\n<cert>\n-----BEGIN CERTIFICATE-----\nup /x\n"
              "-----END CERTIFICATE-----\n</cert>\n<connection>\nremote 198.51.100.8 443 tcp\n"
              "</connection>\nmanagement 127.0.0.1 7505\nmanagement-query-passwords\n");
    EXPECT_FALSE(files.readAsRoot["/home/u/vpn/ca.crt"]);
}

TEST(LaunchPolicy, AFileNamedAgainAndAgainIsReadAndCopiedOnce) {
    Files files;
    files.disk["/home/u/vpn/client.ovpn"] = "ca ca.crt\nca ca.crt\ncert /home/u/vpn/ca.crt\n";
    files.disk["/home/u/vpn/ca.crt"] = "CA";
    Argv argv = {"openvpn", "--ca", "vpn/ca.crt", "--config", "vpn/client.ovpn"};
    ASSERT_TRUE(checkLaunchPolicy(argv, "/home/u", files.seam()).allowed);
    EXPECT_EQ(files.copies, (std::vector<std::string>{
                                "CA", "ca /run/copy-0\nca /run/copy-0\ncert /run/copy-0\n"}));
    EXPECT_EQ(argv[2], "/run/copy-0");
}

TEST(LaunchPolicy, AProvidedConfigurationAndItsFilesAreReadAsRootButNotTheCommandLines) {
    Files files;
    files.root["/etc/openvpn/client/work.conf"] = "client\nca ca.crt\n";
    files.root["/etc/openvpn/client/ca.crt"] = "CA";
    files.root["/etc/shadow"] = "secret";
    EXPECT_TRUE(check({"openvpn", "--config", "/etc/openvpn/client/work.conf"}, files).allowed);
    EXPECT_TRUE(files.readAsRoot["/etc/openvpn/client/ca.crt"]);
    // Its own user and group stand, as before: the daemon's, given after, take their place.
    files.root["/etc/openvpn/client/work.conf"] = "client\nuser nobody\ngroup nogroup\n";
    EXPECT_TRUE(check({"openvpn", "--config", "/etc/openvpn/client/work.conf"}, files).allowed);

    const PolicyVerdict leak = check({"openvpn", "--config", "/etc/openvpn/client/work.conf",
                                      "--http-proxy", "127.0.0.1", "3128", "/etc/shadow", "basic"},
                                     files);
    EXPECT_FALSE(leak.allowed);
    EXPECT_EQ(leak.option, "http-proxy");
    EXPECT_EQ(leak.reason, "names a file that cannot be read: Permission denied");
    EXPECT_FALSE(files.readAsRoot["/etc/shadow"]);
}

TEST(LaunchPolicy, BesideAProvidedConfigurationTheCommandLineAddsNothingThatMovesItsSecrets) {
    const std::string work = "/etc/openvpn/work.conf";
    // What the user adds, and the option refused for it; none where it may be added.
    const std::vector<std::pair<Argv, std::string>> additions = {
        {{"--verb", "4", "--connect-retry", "5", "--suppress-timestamps"}, ""},
        {{"--http-proxy", "127.0.0.1", "3128", "auto"}, "http-proxy"},
        {{"--socks-proxy", "127.0.0.1", "1080"}, "socks-proxy"},
        {{"--remote", "198.51.100.9", "1194"}, "remote"},
        {{"--proto", "tcp-client"}, "proto"},
        {{"--port", "443"}, "port"},
        {{"--management", "127.0.0.1", "7505"}, "management"},
        {{"--auth-user-pass", "/home/u/pass"}, "auth-user-pass"},
        {{"--config", "/home/u/more.conf"}, "config"},
        {{"--config", work}, "config"},
    };
    for (const auto& [added, option] : additions) {
        Files files;
        files.root[work] = "client\nhttp-proxy proxy.example.test 3128 proxy.txt basic\n";
        files.root["/etc/openvpn/proxy.txt"] = "user\npass\n";
        files.disk["/home/u/pass"] = "u\np\n";
        files.disk["/home/u/more.conf"] = "http-proxy 127.0.0.1 3128\n";
        Argv argv = {"openvpn", "--config", work};
        argv.insert(argv.end(), added.begin(), added.end());
        const PolicyVerdict verdict = check(argv, files);
        EXPECT_EQ(verdict.allowed, option.empty()) << added[0];
        EXPECT_EQ(verdict.option, option) << added[0];
        if (!option.empty()) {
            EXPECT_EQ(verdict.reason,
                      "may not be added to a configuration the administrator provided");
        }
    }
}

TEST(LaunchPolicy, UnlessTheAdministratorProvidedItOpenVpnBindsAndListensOnNoPortBelow1024) {
    // The options, a configuration read first where there is one, and the option refused.
    const struct {
        Argv options;
        std::string configuration, refused;
    } cases[] = {
        {{"--proto", "udp", "--lport", "53"}, "", "lport"},
        {{"--port", "53"}, "", "port"},
        {{"--proto", "tcp-server", "--lport", "22"}, "", "lport"},
        {{"--proto", "tcp-server", "--port", "22", "--nobind"}, "", "port"},
        {{"--proto", "tcp-client", "--lport", "22"}, "", "lport"},
        {{"--port", "domain"}, "", "port"},
        {{"--management", "127.0.0.1", "99"}, "", "management"},
        {{}, "<connection>\nremote 192.0.2.1\nlport 53\n</connection>\nnobind\n", "lport"},
        {{"--lport", "53"}, "port 1194\n", "lport"},
        {{"--proto", "udp", "--port", "53", "--nobind"}, "", ""},
        {{"--proto", "tcp-client", "--port", "22"}, "", ""},
        {{"--lport", "53", "--port", "1194"}, "", ""},
        {{"--remote", "198.51.100.7", "53", "--rport", "22"}, "", ""},
        {{"--management", "127.0.0.1", "99", "--management-client"}, "", ""},
        {{"--nobind"}, "port 53\n", ""},
        // Numbers above 65535 that getaddrinfo cuts to a low port, wherever a port is read.
        {{"--lport", "65589"}, "", "lport"},
        {{"--proto", "tcp-server", "--port", "65558"}, "", "port"},
        {{"--management", "127.0.0.1", "65561"}, "", "management"},
        {{"--nobind", "--rport", "65558"}, "", "rport"},
        {{"--nobind", "--remote", "192.0.2.1", "65558"}, "", "remote"},
        {{"--nobind", "--http-proxy", "127.0.0.1", "65561"}, "", "http-proxy"},
        {{}, "nobind\n<connection>\nremote 192.0.2.1 65558\n</connection>\n", "remote"},
        // The protocol of each connection, as its remote names it.
        {{"--proto", "tcp-client", "--port", "22", "--remote", "192.0.2.1", "22", "tcp-server"},
         "",
         "remote"},
        {{"--proto", "tcp-client", "--port", "53", "--remote", "192.0.2.1", "53", "udp"},
         "",
         "remote"},
        {{"--nobind"},
         "port 22\n<connection>\nremote 192.0.2.1 22 tcp4-server\n</connection>\n",
         "remote"},
        {{"--nobind", "--remote", "192.0.2.1", "1194", "tcp-serve"}, "", "remote"},
        {{"--proto", "udp", "--nobind", "--remote", "192.0.2.1", "53", "tcp-client"}, "", ""},
    };
    for (const auto& c : cases) {
        Files files;
        Argv argv = {"openvpn"};
        if (!c.configuration.empty()) {
            files.disk["/home/u/c.conf"] = c.configuration;
            argv.insert(argv.end(), {"--config", "/home/u/c.conf"});
        }
        argv.insert(argv.end(), c.options.begin(), c.options.end());
        const PolicyVerdict verdict = check(argv, files);
        EXPECT_EQ(verdict.option, c.refused) << c.options.size() << c.configuration;
        EXPECT_EQ(verdict.allowed, c.refused.empty()) << verdict.reason;
    }
    // The administrator may have OpenVPN use any port.
    Files files;
    files.root["/etc/openvpn/dns.conf"] = "proto udp\nlport 53\n";
    EXPECT_TRUE(check({"openvpn", "/etc/openvpn/dns.conf"}, files).allowed);
}

TEST(LaunchPolicy, AConfigurationTheCallerCannotReadIsRefusedWithoutItsText) {
    Files files;
    files.root["/etc/shadow"] = "root:x:0:0";
    const PolicyVerdict verdict = check({"openvpn", "--config", "/etc/shadow"}, files);
    EXPECT_FALSE(verdict.allowed);
    EXPECT_EQ(verdict.file, "/etc/shadow");
    EXPECT_TRUE(files.copies.empty());
    // Neither may one configuration name a further one.
    files.disk["/home/u/a.conf"] = "config /home/u/a.conf\n";
    EXPECT_EQ(check({"openvpn", "/home/u/a.conf"}, files).reason,
              "names a further configuration file");
}

// Every configuration of a launch is read before any is judged: together they hold 4 MiB.
TEST(LaunchPolicy, TheConfigurationsOfALaunchHoldFourMiBTogether) {
    Files files;
    std::string comments;
    while (comments.size() < 1000000)
        comments += "# " + std::string(97, 'x') + "\n";
    files.disk["/home/u/big.conf"] = comments;
    Argv argv = {"openvpn"};
    for (int i = 0; i < 4; ++i)
        argv.insert(argv.end(), {"--config", "/home/u/big.conf"});
    EXPECT_TRUE(check(argv, files).allowed);
    argv.insert(argv.end(), {"--config", "/home/u/big.conf"});
    const PolicyVerdict verdict = check(argv, files);
    EXPECT_FALSE(verdict.allowed);
    EXPECT_EQ(verdict.file, "/home/u/big.conf");
    EXPECT_EQ(verdict.reason,
              "names a file that cannot be read: it holds more than 4 MiB with the "
              "configurations before it");
}

}  // namespace
