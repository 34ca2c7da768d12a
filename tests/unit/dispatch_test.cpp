#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "control/dispatch.h"
#include "control/launcher.h"
#include "support.h"

namespace {

using control::Frame;
using control::Outcome;

Frame frameOf(std::string_view text) {
    Frame frame;
    std::copy_n(text.begin(), std::min(text.size(), control::frameSize), frame.bytes.begin());
    frame.received = control::frameSize;
    return frame;
}

// Records each operation the dispatch calls, with its argument.
struct Recorder {
    std::vector<std::string> calls;
    control::Operations operations;

    Recorder() {
        auto plain = [this](const char* name) { return [this, name] { calls.push_back(name); }; };
        auto withArgument = [this](const char* name) {
            return [this, name](std::string_view a) {
                calls.push_back(std::string(name) + "(" + std::string(a) + ")");
            };
        };
        operations = control::Operations{
            .path =
                [this](const Frame& f, const control::Client&) {
                    calls.push_back("path(" + std::string(f.text(6)) + ")");
                },
            .commandLine =
                [this](std::string_view a, const control::Client& client) {
                    calls.push_back("commandLine(" + std::string(a) + "," +
                                    std::to_string(client.socket) + ")");
                    return Outcome::NextFrame;
                },
            .connectionClosed = plain("ConnectionClosed"),
            .enableForcedMode = plain("EnableForcedMode"),
            .disableForcedMode = plain("DisableForcedMode"),
            .enableLockdown = plain("EnableLockdown"),
            .disableLockdown = plain("DisableLockdown"),
            .prepareForTunnel = plain("PrepareForTunnel"),
            .connectionFailed = plain("ConnectionFailed"),
            .connectionSuccessful = plain("ConnectionSuccessful"),
            .connectionSuccessful4 = withArgument("ConnectionSuccessful4"),
            .connectionSuccessful6 = withArgument("ConnectionSuccessful6"),
            .setServerAddress = withArgument("SetServerAddress"),
            .setServerAddress6 = withArgument("SetServerAddress6"),
            .addDnsAddress = withArgument("AddDnsAddress"),
            .addDnsAddress6 = withArgument("AddDnsAddress6"),
            .replaceDns = withArgument("ReplaceDns"),
            .resetDns = plain("ResetDns"),
            .initializeDnsVariables = plain("InitializeDnsVariables"),
            .status =
                [this](const control::Client& client) {
                    calls.push_back("status(" + std::to_string(client.socket) + ")");
                },
            .refuse =
                [this](const control::Client& client, std::string_view keyword) {
                    calls.push_back("refuse(" + std::string(keyword) + "," +
                                    std::to_string(client.socket) + ")");
                },
        };
    }

    Outcome dispatch(std::string_view text, bool mayChange = true) {
        return control::dispatchFrame(frameOf(text), control::Client{7, 1000, mayChange},
                                      operations);
    }
};

class Dispatch : public ::testing::Test {
  protected:
    support::Sandbox sandbox;
    Recorder recorder;
};

struct Case {
    std::string frame;
    std::vector<std::string> calls;
    std::string infoLine;  // empty: the action logs for itself
};

TEST_F(Dispatch, EveryKeywordReachesItsOperationWithItsArgumentAndInfoLine) {
    const std::vector<Case> cases = {
        {"path: /usr/sbin/openvpn", {"path(/usr/sbin/openvpn)"}, ""},
        {"commandline: openvpn --client", {"commandLine(openvpn --client,7)"}, ""},
        {"clientshutdown:", {"ConnectionClosed"}, "Client sent shutdown message"},
        {"enableforced:", {"EnableForcedMode"}, "Enabling forced mode"},
        {"disableforced:", {"DisableForcedMode"}, "Disabling forced mode"},
        {"enablelockdown:", {"EnableLockdown"}, "Enabling lockdown"},
        {"disablelockdown:", {"DisableLockdown"}, "Disabling lockdown"},
        {"prepareforconnect:", {"PrepareForTunnel"}, "Preparing to connect"},
        {"connectionfailed:", {"ConnectionFailed"}, "Connection failed"},
        {"connectionsuccesful:", {"ConnectionSuccessful"}, "Connection successful"},
        {"connectionsuccesful4:10.8.0.1",
         {"ConnectionSuccessful4(10.8.0.1)"},
         "Connection successful (IPv4)"},
        {"connectionsuccesful6:fd42::1",
         {"ConnectionSuccessful6(fd42::1)"},
         "Connection successful (IPv6)"},
        {"connectionclosed:", {"ConnectionClosed"}, "Connection closed"},
        {"serveraddress:198.51.100.7",
         {"SetServerAddress(198.51.100.7)"},
         "Received server address for IPv4"},
        {"serveraddress6:2001:db8::7",
         {"SetServerAddress6(2001:db8::7)"},
         "Received server address for IPv6"},
        {"dnsaddress:192.0.2.53", {"AddDnsAddress(192.0.2.53)"}, "Adding DNS route (IPv4)"},
        {"dnsaddress6:2001:db8::53", {"AddDnsAddress6(2001:db8::53)"}, "Adding DNS route (IPv6)"},
        {"replacedns:10.8.0.1", {"ReplaceDns(10.8.0.1)"}, "Replacing DNS server"},
        {"restoredns:", {"ResetDns", "InitializeDnsVariables"}, "Restoring DNS server"},
        {"status:", {"status(7)"}, "Status requested"},
    };
    ASSERT_EQ(cases.size(), control::keywords().size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].frame);
        EXPECT_TRUE(cases[i].frame.starts_with(control::keywords()[i].word)) << "table order";
        recorder.calls.clear();
        sandbox.clearLog();
        recorder.dispatch(cases[i].frame);
        EXPECT_EQ(recorder.calls, cases[i].calls);
        const auto messages = sandbox.messages();
        if (cases[i].infoLine.empty()) {
            EXPECT_TRUE(messages.empty());
        } else {
            EXPECT_EQ(messages, std::vector<std::string>{cases[i].infoLine});
        }
    }
}

TEST_F(Dispatch, KeywordsMatchOnlyByteForByteWithTheirColon) {
    for (const char* ignored : {"enableforced", "ENABLEFORCED:", "enableforced :", " enableforced:",
                                "connectionsuccessful:", "connectionsuccessful4:10.8.0.1", "",
                                "true", "false", "path", "Path: /x"}) {
        recorder.dispatch(ignored);
    }
    EXPECT_TRUE(recorder.calls.empty());
    EXPECT_TRUE(sandbox.messages().empty());

    recorder.dispatch("enableforced:and anything after");
    EXPECT_EQ(recorder.calls, std::vector<std::string>{"EnableForcedMode"});
}

TEST_F(Dispatch, LongerKeywordsDoNotAlsoMatchTheirShorterRelatives) {
    recorder.dispatch("connectionsuccesful4:10.8.0.1");
    recorder.dispatch("serveraddress6:2001:db8::7");
    recorder.dispatch("dnsaddress6:2001:db8::53");
    EXPECT_EQ(recorder.calls, (std::vector<std::string>{"ConnectionSuccessful4(10.8.0.1)",
                                                        "SetServerAddress6(2001:db8::7)",
                                                        "AddDnsAddress6(2001:db8::53)"}));
}

TEST_F(Dispatch, EmptyArgumentsArePassedOnAsEmptyTexts) {
    recorder.dispatch("serveraddress:");
    recorder.dispatch("replacedns:");
    EXPECT_EQ(recorder.calls, (std::vector<std::string>{"SetServerAddress()", "ReplaceDns()"}));
}

TEST_F(Dispatch, ArgumentOfAFrameWithoutNulEndsAtTheFrameEnd) {
    std::string text = "dnsaddress:";
    text.resize(control::frameSize, 'A');
    recorder.dispatch(text);
    ASSERT_EQ(recorder.calls.size(), 1u);
    EXPECT_EQ(recorder.calls[0],
              "AddDnsAddress(" + std::string(control::frameSize - 11, 'A') + ")");
}

TEST_F(Dispatch, OnlyClientShutdownEndsTheClient) {
    EXPECT_EQ(recorder.dispatch("clientshutdown:"), Outcome::EndClient);
    EXPECT_EQ(recorder.dispatch("connectionclosed:"), Outcome::NextFrame);
    EXPECT_EQ(recorder.dispatch("nothing:"), Outcome::NextFrame);
    EXPECT_EQ(recorder.dispatch("clientshutdown:", false), Outcome::NextFrame);
}

TEST_F(Dispatch, AClientThatMayNotChangeAnythingIsRefusedEveryKeywordButStatus) {
    for (const control::Keyword& keyword : control::keywords()) {
        const std::string word(keyword.word);
        SCOPED_TRACE(word);
        recorder.calls.clear();
        sandbox.clearLog();
        recorder.dispatch(word + "198.51.100.7", false);
        if (word == "status:") {
            EXPECT_EQ(keyword.access, control::Access::Read);
            EXPECT_EQ(recorder.calls, std::vector<std::string>{"status(7)"});
            continue;
        }
        EXPECT_EQ(keyword.access, control::Access::Change);
        EXPECT_EQ(recorder.calls, std::vector<std::string>{"refuse(" + word + ",7)"});
        EXPECT_EQ(sandbox.messages(),
                  std::vector<std::string>{"Refusing " + word +
                                           " from uid 1000: only root and the control group "
                                           "may send it"});
    }
}

TEST_F(Dispatch, PathSkipsOneSeparatorByteWhateverItIs) {
    control::Launcher launcher;
    Frame frame = frameOf("path: /usr/sbin/openvpn");
    frame.received = 100;
    launcher.receivePath(frame, {});
    EXPECT_EQ(launcher.openVpnPath(0), "/usr/sbin/openvpn");

    frame = frameOf("path:/usr/sbin/openvpn");
    launcher.receivePath(frame, {});
    EXPECT_EQ(launcher.openVpnPath(0), "usr/sbin/openvpn");
    EXPECT_TRUE(sandbox.logged("Openvpn path received from the client; usr/sbin/openvpn"));

    // Only the bytes that arrived count.
    frame = frameOf("path: /usr/sbin/openvpn");
    frame.received = 12;
    launcher.receivePath(frame, {});
    EXPECT_EQ(launcher.openVpnPath(0), "/usr/s");

    frame = frameOf("path:");
    frame.received = 5;
    launcher.receivePath(frame, {});
    EXPECT_EQ(launcher.openVpnPath(0), "");
}

}  // namespace
