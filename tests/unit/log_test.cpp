#include <gtest/gtest.h>

#include <regex>

#include "core/log.h"
#include "support.h"

namespace {

TEST(DebugLog, EachMessageIsOneLineWithALocalTimePrefix) {
    support::Sandbox sandbox;
    core::logMessage(core::levelInfo, "Port number %d written to %s, call listen()", 4000, "/x");
    const std::string text = support::readFile(sandbox.path("telvor.clientd.log"));
    EXPECT_TRUE(std::regex_match(
        text,
        std::regex(
            R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d: Port number 4000 written to /x, call listen\(\)\n)")))
        << text;
}

TEST(DebugLog, MessagesEndingInANewlineLeaveAnEmptyLine) {
    support::Sandbox sandbox;
    core::logMessage(core::levelInfo, "Enabling forced mode.\n");
    const std::string text = support::readFile(sandbox.path("telvor.clientd.log"));
    EXPECT_TRUE(text.ends_with(": Enabling forced mode.\n\n")) << text;
}

TEST(DebugLog, LongMessagesAreCutAt4095Characters) {
    support::Sandbox sandbox;
    const std::string longText(5000, 'z');
    core::logMessage(core::levelInfo, "%s", longText.c_str());
    ASSERT_EQ(sandbox.messages().size(), 1u);
    EXPECT_EQ(sandbox.messages()[0], std::string(core::maxMessageLength, 'z'));
}

TEST(DebugLog, TextIsNeverUsedAsAFormat) {
    support::Sandbox sandbox;
    core::logMessage(core::levelInfo, "%s", "100% %s %n");
    EXPECT_EQ(sandbox.messages(), std::vector<std::string>{"100% %s %n"});
}

TEST(DebugLog, NothingIsWrittenWhenNoLogIsOpen) {
    support::Sandbox sandbox;
    core::logClose();
    core::logMessage(core::levelError, "not in the file");
    EXPECT_EQ(support::readFile(sandbox.path("telvor.clientd.log")), "");
}

}  // namespace
