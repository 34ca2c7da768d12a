#include "routing/state_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "core/log.h"
#include "routing/routing.h"
#include "support.h"

namespace {

using routing::SavedState;

SavedState fullState() {
    SavedState saved;
    saved.modes = {true, false, true, false,
                   routing::InFlight{"SetServerAddress", 0, "2001:db8::7"}};
    saved.removedRoutes = {
        *routing::parseRouteWords(AF_INET, "via 192.0.2.1 dev eth0 metric 100 proto 16"),
        *routing::parseRouteWords(AF_INET, "dev ppp0"),
        *routing::parseRouteWords(AF_INET6, "via fe80::1 dev eth0 metric 1024")};
    saved.ipv4Gateway = saved.removedRoutes[0];
    saved.ipv6Gateway = saved.removedRoutes[2];
    saved.serverAddress = "198.51.100.7";
    saved.serverAddress6 = "2001:db8::7";
    saved.dnsAddresses = {"192.0.2.53", "198.51.100.53"};
    saved.dnsAddresses6 = {"2001:db8::53"};
    saved.tunnelAddress = "10.8.0.1";
    saved.tunnelAddress6 = "fd42::1";
    saved.tunnelDevices = {"tun0"};
    saved.resolvedLink = 7;
    saved.unmanagedDevices = {"tun0", "tun1"};
    return saved;
}

TEST(StateFile, EveryStateReadsBackAsItWasWritten) {
    SavedState forced;
    forced.modes.forced = forced.modes.connecting = true;
    forced.modes.inFlight = routing::InFlight{"ConnectionClosed.Forced", 3, ""};
    for (const SavedState& saved : {SavedState{}, forced, fullState()}) {
        const std::string text = routing::formatState(saved);
        SCOPED_TRACE(text);
        EXPECT_EQ(routing::parseState(text), saved);
    }
}

TEST(StateFile, ATextThatIsNotWholeAndOursIsNeverTrusted) {
    const std::string good = routing::formatState(fullState());
    const std::string cases[] = {
        "",
        good.substr(0, good.size() - 1),  // cut short
        "telvord state 2\n",              // another layout
        good + "lockdown=yes\n",          // a modes key among routing's
        good + "server=198.51.100.8\n",   // a second server
        good + "dns=192.0.2.53\n",        // a DNS server twice
        good + "server=not-an-address\n",
        good + "removed=inet via 192.0.2.1 dev eth0 table 7\n",
        "telvord state 1\n[modes]\nlockdown=maybe\n",
        "telvord state 1\nlockdown=yes\n",  // outside any section
        "telvord state 1\n[other]\n",
        good + "tunnel=10.8.0.9\n",               // a second tunnel gateway
        good + "tunneldev=eth0 via 192.0.2.1\n",  // more than a device
        good + "tunneldev=tun0\n",                // a device twice
        "telvord state 1\n[dns]\nresolvedlink=0\n",
        "telvord state 1\n[modes]\ninflight=Disable Lockdown 2\n",
        "telvord state 1\n[modes]\ninflight=DisableLockdown two\n",
        "telvord state 1\n[modes]\ninflight=AddDnsAddress 0 rm -rf\n",
        "telvord state 1\n[modes]\ninflight=A 1\ninflight=B 2\n",
    };
    for (const std::string& text : cases) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(routing::parseState(text));
    }
}

TEST(StateFile, IsWrittenWholeForRootAloneAndAnUnreadableOneIsSetAside) {
    support::Sandbox sandbox;
    routing::InitRoutingVariablesOs();
    routing::ModesRecord locked;
    locked.lockdown = true;
    routing::SaveModes(locked);
    const std::string path = core::paths().stateFile;
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(routing::LoadState()->modes.lockdown, true);

    support::writeFile(path, "telvord state 1\n[modes]\nlockdown=yes\nforced=perhaps\n");
    bool refused = false;
    EXPECT_FALSE(routing::LoadState(&refused));
    EXPECT_TRUE(refused);
    EXPECT_FALSE(support::exists(path));
    EXPECT_TRUE(support::exists(path + ".unreadable"));
    EXPECT_EQ(sandbox.countContaining("cannot be read; set aside"), 1);

    // Nothing left that a restart would need: no file at all.
    routing::SaveModes({});
    EXPECT_FALSE(support::exists(path));
}

// Only a file of root's alone is trusted: anything else is refused, and not taken for none.
TEST(StateFile, IsTrustedOnlyWhenItIsRootsAloneAndARefusedOneIsNotAnAbsentOne) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the file another owner";
    support::Sandbox sandbox;
    routing::InitRoutingVariablesOs();
    const std::string path = core::paths().stateFile;
    const std::string directory = path.substr(0, path.rfind('/'));
    const std::string text = "telvord state 1\n[modes]\nlockdown=yes\n";
    const struct {
        const char* what;
        std::function<void()> make;
        std::string refusal;
    } cases[] = {
        {"root's alone", [] {}, ""},
        {"readable by others", [&] { ::chmod(path.c_str(), 0644); }, "its mode is not 0600"},
        {"another user's", [&] { ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0); },
         "it is not owned by root"},
        {"in a directory others may write", [&] { ::chmod(directory.c_str(), 0777); },
         "its directory is not one that only root may write"},
        {"a link",
         [&] {
             ::rename(path.c_str(), (path + ".real").c_str());
             ASSERT_EQ(::symlink((path + ".real").c_str(), path.c_str()), 0);
         },
         "Too many levels of symbolic links"},
        {"a directory",
         [&] {
             ::unlink(path.c_str());
             ::mkdir(path.c_str(), 0700);
         },
         "it is not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(directory);
        ASSERT_EQ(::mkdir(directory.c_str(), 0700), 0);
        support::writeFile(path, text);
        ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
        c.make();
        bool refused = false;
        const auto saved = routing::LoadState(&refused);
        EXPECT_EQ(saved.has_value(), c.refusal.empty());
        EXPECT_EQ(refused, !c.refusal.empty());
        if (!c.refusal.empty()) {
            EXPECT_EQ(sandbox.countContaining(c.refusal), 1);
        }
        sandbox.clearLog();
    }
    std::filesystem::remove_all(directory);
    bool refused = false;
    EXPECT_FALSE(routing::LoadState(&refused));
    EXPECT_FALSE(refused) << "no file is no refusal";
}

}  // namespace
