// The tunnel device kept from NetworkManager, seen through what a recording bus is told: which
// device is unmanaged and when, which are left alone, and what the close gives back.

#include <net/if_arp.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "desktop/network_manager.h"
#include "fake_kernel.h"
#include "modes/modes.h"
#include "routing/state_file.h"
#include "support.h"
#include "util/unique_fd.h"

namespace {

using namespace desktop::network_manager;
using Strings = std::vector<std::string>;

constexpr const char* unknownDevice = "org.freedesktop.NetworkManager.UnknownDevice";

class NetworkManagerClient : public ::testing::Test {
  protected:
    NetworkManagerClient() : saved_(bus()) {
        bus() = Bus{
            .connect = [this] { return running; },
            .device = [this](const std::string& name) -> std::variant<Device, BusError> {
                if (!lookupError.empty()) return BusError{lookupError, "no such device"};
                return Device{"/org/freedesktop/NetworkManager/Devices/" + name, managed};
            },
            .setManaged = [this](const std::string& path, bool value) -> std::optional<BusError> {
                told.push_back(path.substr(path.rfind('/') + 1) +
                               (value ? " managed" : " unmanaged"));
                if (!refused) {
                    managed = value;
                    return std::nullopt;
                }
                return BusError{"org.freedesktop.NetworkManager.PermissionDenied", "not allowed"};
            },
        };
        modes::InitRoutingVariables();
        kernel.routeDevice = netlink::Device{7, "tun0", ARPHRD_NONE};
    }
    ~NetworkManagerClient() override {
        GiveBack();
        modes::InitRoutingVariables();
        bus() = saved_;
    }

    support::Sandbox sandbox;
    support::FakeKernel kernel;
    bool running = true;
    std::string lookupError;
    bool managed = true;
    bool refused = false;
    Strings told;  // what NetworkManager was told, device by device

  private:
    Bus saved_;
};

TEST_F(NetworkManagerClient, TheTunnelIsUnmanagedWhileConnectedAndGivenBackWhereItStillExists) {
    for (const bool goneAtTheClose : {false, true}) {
        SCOPED_TRACE(goneAtTheClose ? "OpenVPN took its device along" : "the device stays");
        told.clear();
        lookupError.clear();
        modes::PrepareForTunnel();
        modes::ConnectionSuccessful4("10.8.0.1");
        modes::ConnectionSuccessful6("fd42::1");
        modes::ConnectionSuccessful();
        EXPECT_EQ(told, Strings{"tun0 unmanaged"});
        if (goneAtTheClose) lookupError = unknownDevice;
        modes::ConnectionClosed();
        modes::ConnectionClosed();
        EXPECT_EQ(told, goneAtTheClose ? Strings{"tun0 unmanaged"}
                                       : (Strings{"tun0 unmanaged", "tun0 managed"}));
    }
    EXPECT_EQ(sandbox.countContaining("NetworkManager refused"), 0);
}

TEST_F(NetworkManagerClient, NetworkManagerIsLeftAloneUnlessItManagesTheTunnelAndAgrees) {
    struct Case {
        const char* name;
        bool running;
        std::optional<netlink::Device> route;
        std::string lookupError;
        bool managed, refused;
        Strings told;
        const char* logged;
    };
    const netlink::Device tunnel{7, "tun0", ARPHRD_NONE};
    for (const Case& c : std::vector<Case>{
             {"not running", false, tunnel, "", true, false, {}, "NetworkManager is not running"},
             {"a gateway on the uplink",
              true,
              netlink::Device{2, "eth0", ARPHRD_ETHER},
              "",
              true,
              false,
              {},
              "Leaving NetworkManager alone: 10.8.0.1 is not reached through a tunnel"},
             {"no route", true, std::nullopt, "", true, false, {}, "is not reached through"},
             {"unknown device",
              true,
              tunnel,
              unknownDevice,
              true,
              false,
              {},
              "NetworkManager does not know tun0"},
             {"a refused look-up",
              true,
              tunnel,
              "org.freedesktop.DBus.Error.AccessDenied",
              true,
              false,
              {},
              "NetworkManager refused to look up tun0: no such device"},
             {"unmanaged already",
              true,
              tunnel,
              "",
              false,
              false,
              {},
              "NetworkManager does not manage tun0"},
             {"refused",
              true,
              tunnel,
              "",
              true,
              true,
              {"tun0 unmanaged"},
              "NetworkManager refused to unmanage tun0: not allowed"},
         }) {
        SCOPED_TRACE(c.name);
        sandbox.clearLog();
        told.clear();
        running = c.running;
        kernel.routeDevice = c.route;
        lookupError = c.lookupError;
        managed = c.managed;
        refused = c.refused;
        modes::PrepareForTunnel();
        modes::ConnectionSuccessful4("10.8.0.1");
        modes::ConnectionClosed();
        EXPECT_EQ(told, c.told);
        EXPECT_EQ(sandbox.countContaining(c.logged), 1);
    }
}

}  // namespace

namespace {

// The devices taken outlive a kill in the state file, go back at every close, a failed
// connection's included, and after a restart; one that OpenVPN made anew under a name taken
// before is taken again.
TEST_F(NetworkManagerClient, TheDevicesTakenAreRecordedAndGivenBackAtEveryCloseAndAfterARestart) {
    const auto recorded = [] { return routing::CurrentState().unmanagedDevices; };
    modes::PrepareForTunnel();
    modes::ConnectionSuccessful4("10.8.0.1");
    EXPECT_EQ(recorded(), Strings{"tun0"});
    EXPECT_NE(support::readFile(core::paths().stateFile).find("[desktop]\nnmdevice=tun0\n"),
              std::string::npos);
    // OpenVPN restarted and made tun0 anew, which NetworkManager manages again.
    managed = true;
    modes::ConnectionSuccessful4("10.8.0.1");
    EXPECT_EQ(told, (Strings{"tun0 unmanaged", "tun0 unmanaged"}));
    EXPECT_EQ(recorded(), Strings{"tun0"});
    modes::ConnectionFailed();
    EXPECT_EQ(told.back(), "tun0 managed");
    EXPECT_TRUE(recorded().empty());

    // A run killed while tun0 was taken: the next start gives it back.
    told.clear();
    GiveBackAfterRestart({"tun0"});
    EXPECT_EQ(told, Strings{"tun0 managed"});
    EXPECT_TRUE(recorded().empty());
}

// A bus socket that takes connections and never says a word: sd-bus would wait 25 s for its
// greeting, and every handler with it.
TEST(SystemBus, ABusThatNeverAnswersHoldsUpAHandlerNoLongerThanACall) {
    const support::Sandbox sandbox;
    const util::unique_fd silent(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string& path = core::paths().systemBusSocket;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    std::copy(path.begin(), path.end(), address.sun_path);
    ASSERT_EQ(::bind(silent.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(silent.get(), 4), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(systemBus().connect());
    // One call's timeout, and far from sd-bus's own 25 s.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

}  // namespace
