#include <sys/stat.h>

#include <gtest/gtest.h>

#include "core/config.h"
#include "core/paths.h"
#include "support.h"

namespace {

using core::parseConfiguration;

TEST(ConfigurationText, EmptyTextKeepsTheDefaultsAndAcceptsNothing) {
    const auto parsed = parseConfiguration("");
    EXPECT_TRUE(parsed.values.debugLogging);
    EXPECT_TRUE(parsed.values.startupOpenVpn);
    EXPECT_FALSE(parsed.values.lockdown);
    EXPECT_EQ(parsed.accepted, 0);
    EXPECT_EQ(parsed.summary, "Config file settings");
}

TEST(ConfigurationText, ExampleFileKeepsTheBlankBeforeTheEqualsSignInTheSummary) {
    const auto parsed = parseConfiguration("DebugLogging = False\n# a comment\nlockdown=TRUE\n");
    EXPECT_FALSE(parsed.values.debugLogging);
    EXPECT_TRUE(parsed.values.startupOpenVpn);
    EXPECT_TRUE(parsed.values.lockdown);
    EXPECT_EQ(parsed.accepted, 2);
    EXPECT_EQ(parsed.summary, "Config file settings, debuglogging =false, lockdown=true");
}

TEST(ConfigurationText, BareKeysTurnLockdownOffButTheOtherSwitchesOn) {
    const auto parsed =
        parseConfiguration("lockdown=true\ndebuglogging=false\nlockdown\ndebuglogging\n");
    EXPECT_FALSE(parsed.values.lockdown);
    EXPECT_TRUE(parsed.values.debugLogging);
    EXPECT_EQ(parsed.accepted, 4);
    EXPECT_EQ(parsed.summary,
              "Config file settings, lockdown=true, debuglogging=false, lockdown, debuglogging");
}

TEST(ConfigurationText, KeysMatchByPrefixAndIgnoreCase) {
    EXPECT_TRUE(parseConfiguration("LOCKDOWN=True").values.lockdown);
    EXPECT_TRUE(parseConfiguration("lockdownmode=true").values.lockdown);
    EXPECT_FALSE(parseConfiguration("STARTUPOPENVPN=FALSE").values.startupOpenVpn);
    EXPECT_FALSE(parseConfiguration("  startupOpenVpnLoop =  false  ").values.startupOpenVpn);
}

TEST(ConfigurationText, LaterLinesOverrideEarlierOnes) {
    EXPECT_FALSE(parseConfiguration("lockdown=true\nlockdown=false").values.lockdown);
    EXPECT_TRUE(parseConfiguration("lockdown=false\r\nlockdown=true\r\n").values.lockdown);
}

TEST(ConfigurationText, InvalidValuesAreListedAndChangeNothing) {
    const auto parsed = parseConfiguration("lockdown=yes\ndebuglogging=\nstartupOpenVpn=0\n");
    EXPECT_FALSE(parsed.values.lockdown);
    EXPECT_TRUE(parsed.values.debugLogging);
    EXPECT_TRUE(parsed.values.startupOpenVpn);
    EXPECT_EQ(parsed.accepted, 0);
    ASSERT_EQ(parsed.invalid.size(), 3u);
    EXPECT_EQ(parsed.invalid[0], (std::pair<std::string, std::string>{"lockdown", "yes"}));
    EXPECT_EQ(parsed.invalid[1], (std::pair<std::string, std::string>{"debuglogging", ""}));
    EXPECT_EQ(parsed.summary, "Config file settings");
}

TEST(ConfigurationText, UnknownKeysAreListedButCountAsNothing) {
    const auto parsed = parseConfiguration("colour=blue\n   # indented comment\n\n\t\n");
    EXPECT_EQ(parsed.accepted, 0);
    EXPECT_TRUE(parsed.invalid.empty());
    EXPECT_EQ(parsed.summary, "Config file settings, colour=blue");
}

TEST(ConfigurationText, LongLinesAreCutAtTheFragmentAndSummaryBounds) {
    const std::string longValue(500, 'x');
    const auto one = parseConfiguration("colour=" + longValue);
    EXPECT_EQ(one.summary.size(), std::string("Config file settings").size() + 127);

    std::string many;
    for (int i = 0; i < 40; ++i)
        many += "key" + std::to_string(i) + "=" + longValue + "\n";
    many += "lockdown=true\n";
    const auto parsed = parseConfiguration(many);
    EXPECT_EQ(parsed.summary.size(), core::summarySize - 1);
    EXPECT_TRUE(parsed.values.lockdown);
}

TEST(ConfigurationText, PathListsKeepTheirCaseAndAcceptOnlyAbsolutePaths) {
    const auto parsed = parseConfiguration(
        "openvpnprograms = /opt/VPN/bin/ovpn:/usr/local/sbin/openvpn2\nopenvpnconfigdirs=\n"
        "OpenVpnConfigDirs=etc/openvpn\n");
    EXPECT_EQ(parsed.values.openVpnPrograms,
              (std::vector<std::string>{"/opt/VPN/bin/ovpn", "/usr/local/sbin/openvpn2"}));
    EXPECT_TRUE(parsed.values.openVpnConfigDirs.empty());
    EXPECT_EQ(
        parsed.invalid,
        (std::vector<std::pair<std::string, std::string>>{{"openvpnconfigdirs", "etc/openvpn"}}));
    EXPECT_EQ(core::formatConfiguration(parsed.values),
              "debuglogging=true\nstartupOpenVpn=true\nlockdown=false\n"
              "openvpnprograms=/opt/VPN/bin/ovpn:/usr/local/sbin/openvpn2\nopenvpnconfigdirs=\n");
}

TEST(ConfigurationText, TheControlGroupKeepsItsCaseAndTakesNoBlankControlCharacterOrColon) {
    const struct {
        std::string line;
        std::string group;  // "before" where the line is refused
    } cases[] = {
        {"controlgroup=VpnUsers", "VpnUsers"},
        {"ControlGroup =  telvor ", "telvor"},
        {"controlgroup=", ""},
        {"controlgroup", ""},
        {"controlgroup=vpn users", "before"},
        {"controlgroup=vpn:users", "before"},
        {"controlgroup=vpn\x1busers", "before"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const auto parsed = parseConfiguration("controlgroup=before\n" + c.line);
        EXPECT_EQ(parsed.values.controlGroup, c.group);
        EXPECT_EQ(parsed.invalid.size(), c.group == "before" ? 1u : 0u);
    }
    core::Configuration configuration;
    configuration.controlGroup = "VpnUsers";
    EXPECT_EQ(core::formatConfiguration(configuration),
              "debuglogging=true\nstartupOpenVpn=true\nlockdown=false\ncontrolgroup=VpnUsers\n");
}

TEST(ConfigurationText, TheLanIsPrivateOnLinkOrNoneAndNothingElse) {
    const struct {
        std::string line;
        core::Lan lan;
        bool valid;
    } cases[] = {
        {"", core::Lan::Private, true},        {"lan=OnLink", core::Lan::OnLink, true},
        {"lan = none", core::Lan::None, true}, {"lan=private", core::Lan::Private, true},
        {"lan", core::Lan::Private, false},    {"lan=public", core::Lan::Private, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const auto parsed = parseConfiguration(c.line);
        EXPECT_EQ(parsed.values.lan, c.lan);
        EXPECT_EQ(parsed.invalid.empty(), c.valid);
    }
    core::Configuration configuration;
    configuration.lan = core::Lan::OnLink;
    EXPECT_EQ(core::formatConfiguration(configuration),
              "debuglogging=true\nstartupOpenVpn=true\nlockdown=false\nlan=onlink\n");
}

TEST(ConfigurationText, TheOpenVpnAccountKeepsItsCaseAndIsOneWord) {
    EXPECT_EQ(parseConfiguration("").values.openVpnUser, "telvord-openvpn");
    const struct {
        std::string line;
        std::string user;  // "before" where the line is refused
    } cases[] = {
        {"openvpnuser=VpnRunner", "VpnRunner"},
        {"openvpnuser=", "before"},
        {"openvpnuser", "before"},
        {"openvpnuser=vpn runner", "before"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const auto parsed = parseConfiguration("openvpnuser=before\n" + c.line);
        EXPECT_EQ(parsed.values.openVpnUser, c.user);
        EXPECT_EQ(parsed.invalid.size(), c.user == "before" ? 1u : 0u);
    }
    core::Configuration configuration;
    configuration.openVpnUser = "VpnRunner";
    EXPECT_EQ(core::formatConfiguration(configuration),
              "debuglogging=true\nstartupOpenVpn=true\nlockdown=false\nopenvpnuser=VpnRunner\n");
}

TEST(ConfigurationText, TrimAndLowerCaseHelpers) {
    EXPECT_EQ(core::trim("  \t a b \n"), "a b");
    EXPECT_EQ(core::trim("   "), "");
    EXPECT_EQ(core::trim(""), "");
    EXPECT_EQ(core::strlwr("StartupOpenVpn"), "startupopenvpn");
}

class ConfigurationFile : public ::testing::Test {
  protected:
    support::Sandbox sandbox;
    const std::string& file = core::paths().configFile;
};

TEST_F(ConfigurationFile, MissingFileGivesTheDefaultsWithoutAFileMessage) {
    const auto configuration = core::readConfiguration();
    EXPECT_TRUE(configuration.debugLogging);
    EXPECT_TRUE(configuration.startupOpenVpn);
    EXPECT_FALSE(configuration.lockdown);
    // That message goes to syslog only.
    EXPECT_TRUE(sandbox.messages().empty());
}

TEST_F(ConfigurationFile, SummaryAndInvalidItemsAreLogged) {
    support::writeFile(file, "lockdown=yes\nstartupOpenVpn=false\n");
    const auto configuration = core::readConfiguration();
    EXPECT_FALSE(configuration.startupOpenVpn);
    EXPECT_EQ(sandbox.messages(),
              (std::vector<std::string>{"Invalid configuration item 'lockdown=yes'",
                                        "Config file settings, startupopenvpn=false"}));
}

TEST_F(ConfigurationFile, FileWithoutAcceptedItemsLogsNotLoaded) {
    support::writeFile(file, "# nothing\ncolour=blue\n");
    core::readConfiguration();
    EXPECT_EQ(sandbox.messages(), (std::vector<std::string>{"Config file not loaded."}));
}

TEST_F(ConfigurationFile, RewritingKeepsTheOtherChoicesAndTheMode) {
    support::writeFile(file, "# comment\nDebugLogging=false\ncolour=blue\n");
    ::chmod(file.c_str(), 0640);
    core::enableLockdownConfiguration();
    EXPECT_EQ(support::readFile(file), "debuglogging=false\nstartupOpenVpn=true\nlockdown=true\n");
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    core::disableLockdownConfiguration();
    EXPECT_EQ(support::readFile(file), "debuglogging=false\nstartupOpenVpn=true\nlockdown=false\n");
}

TEST_F(ConfigurationFile, RewritingIntoAMissingDirectoryLeavesNothingBehind) {
    core::paths().configFile = sandbox.path("missing/telvor.clientd.conf");
    core::enableLockdownConfiguration();
    EXPECT_FALSE(support::exists(core::paths().configFile));
}

}  // namespace
