// The frame dispatch: any bytes a local user sends as one frame. Every operation behind the
// keywords is a recorder, so nothing the keywords stand for (routes, the resolver file,
// OpenVPN) runs; "path:" also goes through the launcher's path reader, which only stores and
// logs the path.

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "control/dispatch.h"
#include "control/launcher.h"
#include "fuzz_support.h"

namespace {

using control::Frame;
using control::Outcome;

// Checks that an argument handed to an operation lies inside the frame's bytes.
void checkInside(const Frame& frame, std::string_view argument) {
    const char* begin = frame.bytes.data();
    FUZZ_CHECK(argument.data() >= begin);
    FUZZ_CHECK(argument.data() + argument.size() <= begin + control::frameSize);
    FUZZ_CHECK(argument.find('\0') == std::string_view::npos);
}

struct Recorder {
    const Frame* frame = nullptr;
    std::vector<std::string> calls;
    control::Launcher launcher;  // only its path reader is used; nothing here launches
    control::Operations operations;

    Recorder() {
        auto plain = [this](const char* name) { return [this, name] { calls.push_back(name); }; };
        auto withArgument = [this](const char* name) {
            return [this, name](std::string_view argument) {
                checkInside(*frame, argument);
                calls.push_back(name);
            };
        };
        operations = control::Operations{
            .path =
                [this](const Frame& f, const control::Client& client) {
                    FUZZ_CHECK(&f == frame);
                    launcher.receivePath(f, client);
                    const std::string path = *launcher.openVpnPath(client.uid);
                    FUZZ_CHECK(path.size() <= control::frameSize - 6);
                    FUZZ_CHECK(path.find('\0') == std::string::npos);
                    calls.push_back("path");
                },
            .commandLine =
                [this](std::string_view commandLine, const control::Client& client) {
                    checkInside(*frame, commandLine);
                    FUZZ_CHECK(client.socket == 7);
                    calls.push_back("commandLine");
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
                    FUZZ_CHECK(client.socket == 7);
                    calls.push_back("status");
                },
            .refuse = [this](const control::Client&,
                             std::string_view) { calls.push_back("refuse"); },
        };
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silenceSyslog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > control::frameSize) return -1;
    static Recorder recorder;
    // A fresh frame as the listener fills it: the bytes that arrived, zeros after them.
    Frame frame;
    std::copy_n(data, size, reinterpret_cast<unsigned char*>(frame.bytes.data()));
    frame.received = size;
    recorder.frame = &frame;
    recorder.calls.clear();

    const Outcome outcome =
        control::dispatchFrame(frame, control::Client{7, 1000}, recorder.operations);

    // At most one keyword matches; "restoredns:" alone calls two operations.
    FUZZ_CHECK(recorder.calls.size() <= 2);
    if (recorder.calls.size() == 2) FUZZ_CHECK(recorder.calls[0] == "ResetDns");
    if (recorder.calls.empty()) FUZZ_CHECK(outcome == Outcome::NextFrame);
    FUZZ_CHECK(frame.bytes[control::frameSize] == '\0');

    // A client that may change nothing reaches no operation but the status.
    recorder.calls.clear();
    const Outcome refused =
        control::dispatchFrame(frame, control::Client{7, 1000, false}, recorder.operations);
    FUZZ_CHECK(refused == Outcome::NextFrame);
    FUZZ_CHECK(recorder.calls.size() <= 1);
    for (const std::string& call : recorder.calls)
        FUZZ_CHECK(call == "status" || call == "refuse");
    return 0;
}
