// The shipped configuration and manual pages against the code they describe: the sample
// configuration must mean the defaults, and the manual pages must name every keyword of the
// control protocol and every command of telvorctl, with their arguments.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "client.h"
#include "control/dispatch.h"
#include "core/config.h"
#include "guard/ruleset.h"

namespace {

std::string readSource(const std::string& relative) {
    std::ifstream file(std::string(TELVORD_SOURCE_DIR) + "/" + relative);
    EXPECT_TRUE(file) << "cannot read " << relative;
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        result.push_back(line);
    return result;
}

bool hasLine(const std::vector<std::string>& all, const std::string& wanted) {
    return std::find(all.begin(), all.end(), wanted) != all.end();
}

bool hasLineStartingWith(const std::vector<std::string>& all, const std::string& start) {
    return std::any_of(all.begin(), all.end(),
                       [&](const std::string& line) { return line.starts_with(start); });
}

const std::string sampleConfiguration = "packaging/telvor.clientd.conf";
const std::string daemonPage = "packaging/man/telvord.8.scd";
const std::string clientPage = "packaging/man/telvorctl.1.scd";
const std::string configurationPage = "packaging/man/telvor.clientd.conf.5.scd";

TEST(SampleConfiguration, SetsEveryItemToItsDefault) {
    const core::ConfigurationText parsed =
        core::parseConfiguration(readSource(sampleConfiguration));
    const core::Configuration defaults;
    EXPECT_EQ(parsed.values.debugLogging, defaults.debugLogging);
    EXPECT_EQ(parsed.values.startupOpenVpn, defaults.startupOpenVpn);
    EXPECT_EQ(parsed.values.lockdown, defaults.lockdown);
    EXPECT_EQ(parsed.accepted, 3) << "each of the three items once";
    EXPECT_TRUE(parsed.invalid.empty());
    EXPECT_EQ(parsed.summary,
              "Config file settings, debuglogging=true, startupopenvpn=true, lockdown=false");
}

TEST(SampleConfiguration, ExplainsEachItemInACommentRightAboveIt) {
    const std::vector<std::string> all = lines(readSource(sampleConfiguration));
    for (const char* item :
         {core::cfgItemDebugLogging, core::cfgItemStartupOpenVpn, core::cfgItemLockdown}) {
        const auto at = std::find_if(all.begin(), all.end(), [&](const std::string& line) {
            return line.starts_with(std::string(item) + "=");
        });
        ASSERT_NE(at, all.end()) << item;
        ASSERT_NE(at, all.begin()) << item;
        EXPECT_TRUE(std::prev(at)->starts_with("# ")) << item << " has no comment above it";
    }
}

TEST(DaemonManualPage, DescribesEveryKeywordWithItsArgument) {
    const std::vector<std::string> page = lines(readSource(daemonPage));
    for (const control::Keyword& keyword : control::keywords()) {
        const std::string term = "*" + std::string(keyword.word) + "*";
        if (keyword.argumentOffset == 0) {
            EXPECT_TRUE(hasLine(page, term)) << keyword.word << " has no entry of its own";
        } else {
            EXPECT_TRUE(hasLineStartingWith(page, term + " _"))
                << keyword.word << " has no entry naming its argument";
        }
    }
}

TEST(DaemonManualPage, CountsTheKeywordsTheDaemonKnows) {
    const std::string text = readSource(daemonPage);
    const std::string count = "The " + std::to_string(control::keywords().size()) + " keywords";
    EXPECT_NE(text.find(count), std::string::npos) << "expected \"" << count << "\"";
}

TEST(DaemonManualPage, NamesTheFilesTheDaemonUses) {
    const std::string text = readSource(daemonPage);
    for (const char* path :
         {"/etc/telvor.clientd.conf", "/var/tmp/telvor.clientd.port", "/var/log/telvor.clientd.log",
          "/etc/resolv.conf", "/etc/resolv.conf.telvord", "/proc/net/route"}) {
        EXPECT_NE(text.find(std::string("_") + path + "_"), std::string::npos) << path;
    }
}

TEST(DaemonManualPage, NamesThePacketFilterTableAndItsCounter) {
    const std::string text = readSource(daemonPage);
    const std::string table =
        "*" + std::string(guard::tableFamily) + " " + std::string(guard::tableName) + "*";
    EXPECT_NE(text.find(table), std::string::npos) << table;
    EXPECT_NE(text.find("*" + std::string(guard::refusedCounter) + "*"), std::string::npos);
}

TEST(ClientManualPage, DescribesEveryCommandWithItsArgument) {
    const std::string text = readSource(clientPage);
    for (const telvorctl::CommandEntry& entry : telvorctl::commandTable()) {
        const std::string term =
            "*" + std::string(entry.name) + "*" + (entry.takesArgument ? " _" : "");
        EXPECT_NE(text.find(term), std::string::npos) << entry.name;
    }
}

TEST(ConfigurationManualPage, DescribesEveryItemWithItsDefault) {
    const std::string text = readSource(configurationPage);
    const core::Configuration defaults;
    const std::pair<const char*, bool> items[] = {
        {core::cfgItemDebugLogging, defaults.debugLogging},
        {core::cfgItemStartupOpenVpn, defaults.startupOpenVpn},
        {core::cfgItemLockdown, defaults.lockdown}};
    for (const auto& [item, value] : items) {
        const std::string entry =
            "*" + std::string(item) + "* (default *" + (value ? "true" : "false") + "*)";
        EXPECT_NE(text.find(entry), std::string::npos) << "expected \"" << entry << "\"";
    }
    const std::string lan = "*lan* (default *" + std::string(core::lanWord(defaults.lan)) + "*)";
    EXPECT_NE(text.find(lan), std::string::npos) << "expected \"" << lan << "\"";
}

}  // namespace
