#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>

#include "client.h"
#include "control/listener.h"
#include "support.h"

namespace {

std::string textOf(const telvorctl::FrameBytes& frame) {
    return std::string(frame.data(), strnlen(frame.data(), frame.size()));
}

TEST(Telvorctl, FramesHoldTheKeywordTheArgumentAndNulFill) {
    const auto* server = telvorctl::findCommand("serveraddress");
    ASSERT_NE(server, nullptr);
    const auto frame = telvorctl::buildFrame({server, "198.51.100.7"});
    EXPECT_EQ(textOf(frame), "serveraddress:198.51.100.7");
    EXPECT_TRUE(std::all_of(frame.begin() + 26, frame.end(), [](char c) { return c == '\0'; }));

    // "path:" and "commandline:" carry a separator byte before their argument.
    EXPECT_EQ(textOf(telvorctl::buildFrame({telvorctl::findCommand("path"), "/usr/sbin/openvpn"})),
              "path: /usr/sbin/openvpn");
    EXPECT_EQ(
        textOf(telvorctl::buildFrame({telvorctl::findCommand("commandline:"), "openvpn --x"})),
        "commandline: openvpn --x");
}

TEST(Telvorctl, CommandNamesAcceptAColonAndTheDictionarySpelling) {
    EXPECT_EQ(telvorctl::findCommand("connectionsuccessful4")->keyword, "connectionsuccesful4:");
    EXPECT_EQ(telvorctl::findCommand("connectionsuccesful:")->keyword, "connectionsuccesful:");
    EXPECT_EQ(telvorctl::findCommand("enablelockdown")->keyword, "enablelockdown:");
    EXPECT_EQ(telvorctl::findCommand("lockdown"), nullptr);
}

TEST(Telvorctl, EveryProtocolKeywordHasACommand) {
    EXPECT_EQ(telvorctl::commandTable().size(), 21u);  // the 20 keywords and "raw"
}

TEST(Telvorctl, ARefusedConnectionIsToldApartFromARefusedCommand) {
    EXPECT_EQ(telvorctl::connectionRefusal, control::connectionRefusal);
    EXPECT_EQ(telvorctl::connectionRefused("refused:connection\nit holds 4 connections already"),
              "it holds 4 connections already");
    EXPECT_EQ(telvorctl::refusedKeyword("refused:connection\nwhy"), std::nullopt);
    EXPECT_EQ(telvorctl::connectionRefused("refused:enablelockdown:"), std::nullopt);
    EXPECT_EQ(telvorctl::refusedKeyword("refused:enablelockdown:"), "enablelockdown:");
}

TEST(Telvorctl, PortsAreDecimalDigitsInRange) {
    EXPECT_EQ(telvorctl::parsePort("40123"), 40123);
    EXPECT_EQ(telvorctl::parsePort("1"), 1);
    for (const char* bad : {"", "0", "65536", "4012a", "-1", " 401", "401\n", "123456"}) {
        EXPECT_FALSE(telvorctl::parsePort(bad)) << bad;
    }
}

TEST(Telvorctl, PortFileProblemsHaveTheirOwnExitStatus) {
    support::TempDir dir;
    telvorctl::Error error{};
    EXPECT_FALSE(telvorctl::readPortFile(dir / "missing", error));
    EXPECT_EQ(error.status, telvorctl::exitPortFile);
    support::writeFile(dir / "port", "garbage");
    EXPECT_FALSE(telvorctl::readPortFile(dir / "port", error));
    EXPECT_EQ(error.status, telvorctl::exitPortFile);
    support::writeFile(dir / "port", "40123");
    EXPECT_EQ(telvorctl::readPortFile(dir / "port", error), 40123);
    if (::geteuid() == 0) {  // a port published by another user is not trusted
        ASSERT_EQ(::chown((dir / "port").c_str(), 65534, 65534), 0);
        EXPECT_FALSE(telvorctl::readPortFile(dir / "port", error));
        EXPECT_EQ(error.status, telvorctl::exitPortFile);
    }
}

TEST(Telvorctl, KeysOfSeveralLinesAreListsInJsonAndInTheSummary) {
    const std::string reply =
        "mode=lockdown\nkillswitch=yes\ntunnel4=10.8.0.1\ntunneldev=tun0\n"
        "tunneldev=tun1\ndns4=10.8.0.53\n";
    const std::string json = telvorctl::statusJson(reply);
    EXPECT_NE(json.find(R"("tunneldev":["tun0","tun1"])"), std::string::npos) << json;
    EXPECT_NE(json.find(R"("removed4":[])"), std::string::npos) << json;
    EXPECT_NE(telvorctl::statusSummary(reply).find("through tun0, tun1"), std::string::npos);
}

TEST(Telvorctl, UsageErrorsAndNoDaemon) {
    using Args = std::vector<std::string_view>;
    EXPECT_EQ(telvorctl::run(Args{}), telvorctl::exitUsage);
    EXPECT_EQ(telvorctl::run(Args{"nonsense"}), telvorctl::exitUsage);
    EXPECT_EQ(telvorctl::run(Args{"serveraddress"}), telvorctl::exitUsage);
    EXPECT_EQ(telvorctl::run(Args{"--port", "x", "enablelockdown"}), telvorctl::exitUsage);
    support::TempDir dir;
    const std::string missing = dir / "missing";
    EXPECT_EQ(telvorctl::run(Args{"--port-file", missing, "enablelockdown"}),
              telvorctl::exitPortFile);
}

}  // namespace
