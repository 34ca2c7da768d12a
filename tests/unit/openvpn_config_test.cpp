#include <gtest/gtest.h>

#include "control/openvpn_config.h"
#include "control/policy.h"

namespace {

using control::readOpenVpnConfiguration;

control::ConfigurationReading read(std::string_view text) {
    return readOpenVpnConfiguration(text, control::mayBeInline);
}

struct Hostile {
    std::string text;
    std::string refusal;
    int line;
};

// Texts where OpenVPN would read an option the policy never saw.
const std::vector<Hostile> hostile = {
    {"client\n\"plugin\"/tmp/x.so\n", "holds a quote followed by more of a word", 2},
    {"'plugin'/tmp/x.so\n", "holds a quote followed by more of a word", 1},
    {"plu\"gin\" /tmp/x.so\n", "holds a word glued to a quote", 1},
    {"<ca>\nx\n</ca>x\nplugin /tmp/x.so\n", "holds a closing tag with more on its line", 3},
    {"<ca> words\nplugin /tmp/x.so\n</ca>\n", "holds an opening tag with more on its line", 1},
    {"<ca>\nplugin /tmp/x.so\n", "holds a block never closed", 1},
    {"<up>\n/tmp/x.sh\n</up>\n", "holds an inline block for up, which may not be inline", 1},
    {"<connection>\n<connection>\n</connection>\n</connection>\n",
     "holds an inline block for connection, which may not be inline", 2},
    {std::string("verb 3 ") + '\0' + "\nplugin /x\n", "holds a NUL byte", 1},
    {"client\n" + std::string(250, ' ') + "plugin /tmp/x.so\n",
     "holds a line longer than OpenVPN reads whole", 2},
    {"\xEF\xBB\xBF" + std::string(252, '#') + "\n", "holds a line longer than OpenVPN reads whole",
     1},
    {"remote \"a\n", "holds a quote never closed", 1},
    {"remote a\\b\n", "holds a backslash OpenVPN refuses", 1},
    {"remote a\\", "holds a backslash OpenVPN refuses", 1},
    {"remote a\\\nplugin /x\n", "holds a backslash OpenVPN refuses", 1},
    {"a b c d e f g h i j k l m n o p q\n", "holds a line of more words than OpenVPN reads", 1},
};

TEST(OpenVpnConfiguration, TextsOpenVpnCouldReadDifferentlyAreRefusedAtTheirLine) {
    for (const Hostile& text : hostile) {
        const auto reading = read(text.text);
        EXPECT_EQ(reading.refusal, text.refusal) << text.text;
        EXPECT_EQ(reading.line, text.line) << text.text;
    }
}

TEST(OpenVpnConfiguration, WordsCommentsBlocksAndTheByteOrderMarkAreReadAsOpenVpnReadsThem) {
    const auto reading = read(
        "\xEF\xBB\xBFplugin /x.so\r\n"
        "  # up /x\n"
        "remote \"a b\" 'c\\d' e\\ f ; comment\n"
        "--verb 3\n"
        "<tls-auth>\n  key\n </tls-auth>  \r\n"
        "<connection>\nremote 198.51.100.8\n<ca>\nCA\n</ca>\n</connection>\n");
    ASSERT_EQ(reading.refusal, "");
    ASSERT_EQ(reading.directives.size(), 5u);
    EXPECT_EQ(reading.directives[0].words, (std::vector<std::string>{"plugin", "/x.so"}));
    EXPECT_EQ(reading.directives[1].words,
              (std::vector<std::string>{"remote", "a b", "c\\d", "e f"}));
    EXPECT_EQ(reading.directives[2].words, (std::vector<std::string>{"verb", "3"}));
    EXPECT_EQ(reading.directives[3].inlineText, "  key\n");
    const auto& connection = reading.directives[4].connection;
    ASSERT_EQ(connection.size(), 2u);
    EXPECT_EQ(connection[0].line, 9);
    EXPECT_EQ(connection[1].inlineText, "CA\n");
}

TEST(OpenVpnConfiguration, WrittenTextReadsBackAsTheSameOptions) {
    const std::string text =
        "remote \"a \\\"b\\\\\" '#x' ''\n<ca>\nCA\n</ca>\n<connection>\nproto tcp\n</connection>\n";
    const auto first = read(text);
    ASSERT_EQ(first.refusal, "");
    const auto written = control::writeOpenVpnConfiguration(first.directives);
    ASSERT_TRUE(written.has_value());
    const auto second = read(*written);
    ASSERT_EQ(second.refusal, "");
    ASSERT_EQ(second.directives.size(), first.directives.size());
    for (std::size_t i = 0; i < first.directives.size(); ++i) {
        EXPECT_EQ(second.directives[i].words, first.directives[i].words);
        EXPECT_EQ(second.directives[i].inlineText, first.directives[i].inlineText);
        EXPECT_EQ(second.directives[i].connection.size(), first.directives[i].connection.size());
    }
}

}  // namespace
