#include <sys/stat.h>

#include <gtest/gtest.h>

#include "control/policy.h"
#include "support.h"

namespace {

using control::checkConfigurationText;
using control::checkLaunchPolicy;

using Argv = std::vector<std::string>;

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
                             "ca.crt",
                             "--cert",
                             "client.crt",
                             "--key",
                             "client.key",
                             "--auth-user-pass",
                             "--management",
                             "127.0.0.1",
                             "7505",
                             "--verb",
                             "3",
                             "--script-security",
                             "1",
                             "--setenv",
                             "FORWARD_COMPATIBLE",
                             "1",
                             "--status"};

const char* ordinaryConfiguration = R"(# an ordinary client
client
dev tun
proto udp
remote 198.51.100.7 1194
;remote 198.51.100.8 1194
resolv-retry infinite
nobind
persist-key
persist-tun
--verb 3
auth-user-pass
management 127.0.0.1 7505
<ca>
-----BEGIN CERTIFICATE-----
up /tmp/not-an-option-inside-a-block.sh
-----END CERTIFICATE-----
</ca>
<tls-auth>
plugin /tmp/x.so
</tls-auth>
key-direction 1
)";

// Every option that is refused, with arguments that make it refused.
const std::vector<Argv> refusedOptions = {{"--plugin", "/tmp/x.so"},
                                          {"--engine", "dynamic"},
                                          {"--providers", "legacy"},
                                          {"--pkcs11-providers", "/tmp/p.so"},
                                          {"--up", "/tmp/x.sh"},
                                          {"--down", "/tmp/x.sh"},
                                          {"--route-up", "/tmp/x.sh"},
                                          {"--route-pre-down", "/tmp/x.sh"},
                                          {"--ipchange", "/tmp/x.sh"},
                                          {"--tls-verify", "/tmp/x.sh"},
                                          {"--tls-crypt-v2-verify", "/tmp/x.sh"},
                                          {"--auth-user-pass-verify", "/tmp/x.sh", "via-env"},
                                          {"--client-connect", "/tmp/x.sh"},
                                          {"--client-disconnect", "/tmp/x.sh"},
                                          {"--learn-address", "/tmp/x.sh"},
                                          {"--iproute", "/tmp/x"},
                                          {"--script-security", "2"},
                                          {"--script-security", "3"},
                                          {"--script-security", "two"},
                                          {"--log", "/etc/shadow"},
                                          {"--log-append", "/etc/shadow"},
                                          {"--writepid", "/etc/shadow"},
                                          {"--status", "/etc/shadow", "10"},
                                          {"--replay-persist", "/etc/x"},
                                          {"--ifconfig-pool-persist", "/etc/x"},
                                          {"--tls-export-cert", "/etc"},
                                          {"--genkey", "secret", "/etc/x"},
                                          {"--tmp-dir", "/etc"},
                                          {"--mktun"},
                                          {"--rmtun"},
                                          {"--ignore-unknown-option", "up"},
                                          {"--setenv", "opt", "up", "x"},
                                          {"--setenv-safe", "A", "B"},
                                          {"--daemon"},
                                          {"--cd", "/tmp"},
                                          {"--chroot", "/tmp"},
                                          {"--dev-node", "/dev/x"},
                                          {"--management", "/run/x.sock", "unix"},
                                          {"--client-crresponse", "/tmp/x.sh"},
                                          {"--dns-updown", "/tmp/x.sh"}};

TEST(LaunchPolicy, AnOrdinaryClientCommandLinePasses) {
    EXPECT_TRUE(checkLaunchPolicy(ordinaryClient, "/tmp").allowed);
    EXPECT_TRUE(checkLaunchPolicy({"openvpn"}, "/tmp").allowed);
}

TEST(LaunchPolicy, EveryRefusedOptionIsRefusedOnTheCommandLineWithItsName) {
    for (const Argv& option : refusedOptions) {
        Argv argv = ordinaryClient;
        argv.insert(argv.begin() + 3, option.begin(), option.end());
        const auto verdict = checkLaunchPolicy(argv, "/tmp");
        EXPECT_FALSE(verdict.allowed) << option[0];
        EXPECT_EQ("--" + verdict.option, option[0]);
        EXPECT_FALSE(verdict.reason.empty());
        EXPECT_TRUE(verdict.file.empty());
    }
}

TEST(LaunchPolicy, EveryRefusedOptionIsRefusedInAConfigurationWithOrWithoutDashes) {
    for (const Argv& option : refusedOptions) {
        for (const bool dashes : {false, true}) {
            std::string line = dashes ? option[0] : option[0].substr(2);
            for (std::size_t i = 1; i < option.size(); ++i)
                line += " " + option[i];
            const std::string text = std::string(ordinaryConfiguration) + "  " + line + "\n";
            const auto verdict = checkConfigurationText(text, "client.ovpn");
            EXPECT_FALSE(verdict.allowed) << line;
            EXPECT_EQ(verdict.option, option[0].substr(2));
            EXPECT_EQ(verdict.file, "client.ovpn");
            EXPECT_EQ(verdict.line, 23) << line;
        }
    }
}

TEST(LaunchPolicy, CommentsInlineBlocksAndQuotesAreReadAsOpenVpnReadsThem) {
    EXPECT_TRUE(checkConfigurationText(ordinaryConfiguration, "c").allowed);
    EXPECT_TRUE(
        checkConfigurationText("# up /tmp/x.sh\n; plugin x\n  #log /etc/shadow\n", "c").allowed);
    EXPECT_FALSE(checkConfigurationText("\"up\" /tmp/x.sh\n", "c").allowed);
    EXPECT_FALSE(checkConfigurationText("'plu'gin /tmp/x.so\n", "c").allowed);
    EXPECT_FALSE(checkConfigurationText("\tscript-security 2\r\n", "c").allowed);
    // An unterminated block hides nothing after a line of its own closing tag only.
    EXPECT_FALSE(checkConfigurationText("<ca>\n</ca>\nup /x\n", "c").allowed);
    EXPECT_EQ(control::configurationWords("setenv opt 'a b' \"c\\\"d\" e\\ f"),
              (std::vector<std::string>{"setenv", "opt", "a b", "c\"d", "e f"}));
}

TEST(LaunchPolicy, HarmlessFormsOfGuardedOptionsPass) {
    for (const Argv& argv : std::vector<Argv>{{"openvpn", "--script-security", "0"},
                                              {"openvpn", "--script-security", "1"},
                                              {"openvpn", "--setenv", "NAME", "value"},
                                              {"openvpn", "--status"},
                                              {"openvpn", "--management", "127.0.0.1", "7505"}}) {
        EXPECT_TRUE(checkLaunchPolicy(argv, "/tmp").allowed) << argv[1];
    }
}

class ConfigurationFiles : public ::testing::Test {
  protected:
    support::TempDir dir;
};

TEST_F(ConfigurationFiles, ANamedFileIsCheckedRelativeToTheLaunchDirectory) {
    support::writeFile(dir / "good.ovpn", ordinaryConfiguration);
    support::writeFile(dir / "bad.ovpn", "client\n\n--up /tmp/x.sh\n");
    EXPECT_TRUE(checkLaunchPolicy({"openvpn", "--config", "good.ovpn"}, dir.path()).allowed);
    EXPECT_TRUE(checkLaunchPolicy({"openvpn", "good.ovpn"}, dir.path()).allowed);

    const auto verdict = checkLaunchPolicy({"openvpn", "--config", dir / "bad.ovpn"}, "/");
    EXPECT_FALSE(verdict.allowed);
    EXPECT_EQ(verdict.option, "up");
    EXPECT_EQ(verdict.file, dir / "bad.ovpn");
    EXPECT_EQ(verdict.line, 3);
    EXPECT_FALSE(checkLaunchPolicy({"openvpn", "bad.ovpn"}, dir.path()).allowed);
}

TEST_F(ConfigurationFiles, TheCheckedTextIsKeptForEachNamedFile) {
    support::writeFile(dir / "good.ovpn", ordinaryConfiguration);
    const auto verdict = checkLaunchPolicy(
        {"openvpn", "--verb", "3", "--config", "good.ovpn", "--config", dir / "good.ovpn"},
        dir.path());
    ASSERT_TRUE(verdict.allowed);
    ASSERT_EQ(verdict.configurations.size(), 2u);
    EXPECT_EQ(verdict.configurations[0].argument, 4u);
    EXPECT_EQ(verdict.configurations[1].argument, 6u);
    EXPECT_EQ(verdict.configurations[0].text, ordinaryConfiguration);

    const auto lone = checkLaunchPolicy({"openvpn", "good.ovpn"}, dir.path());
    ASSERT_EQ(lone.configurations.size(), 1u);
    EXPECT_EQ(lone.configurations[0].argument, 1u);
}

TEST_F(ConfigurationFiles, AFileMayNotNameAFurtherOne) {
    // OpenVPN would read it itself, after the check.
    support::writeFile(dir / "inner.ovpn", "verb 3\n");
    support::writeFile(dir / "outer.ovpn", "client\nconfig inner.ovpn\n");
    const auto verdict = checkLaunchPolicy({"openvpn", "--config", "outer.ovpn"}, dir.path());
    EXPECT_FALSE(verdict.allowed);
    EXPECT_EQ(verdict.option, "config");
    EXPECT_EQ(verdict.file, "outer.ovpn");
    EXPECT_EQ(verdict.line, 2);
}

TEST_F(ConfigurationFiles, UnreadableAndIrregularFilesAreRefused) {
    EXPECT_FALSE(checkLaunchPolicy({"openvpn", "--config", "missing.ovpn"}, dir.path()).allowed);
    EXPECT_FALSE(checkLaunchPolicy({"openvpn", "--config", dir.path()}, "/").allowed);
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_FALSE(checkLaunchPolicy({"openvpn", "--config", "fifo"}, dir.path()).allowed);
}

}  // namespace
