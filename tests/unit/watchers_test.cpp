// The route watchers: the walk over the kernel's route notifications, the deletion command for a
// foreign gateway, and watcher threads driven through a socket pair in place of rtnetlink.

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/log.h"
#include "core/paths.h"
#include "fake_kernel.h"
#include "routing/kernel.h"
#include "routing/routing.h"
#include "routing/state.h"
#include "routing/watchers.h"
#include "support.h"
#include "util/unique_fd.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::byte>;
using support::concat;
using support::gatewayAttributePayload;
using support::routeMessage;

// --- crafted notifications ----------------------------------------------------------------------

Bytes word(std::uint32_t value) {
    Bytes bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

int familyOf(const std::string& address) {
    return address.find(':') == std::string::npos ? AF_INET : AF_INET6;
}

// The notification of a new default route through `gateway`.
Bytes newDefaultRoute(const std::string& gateway) {
    return routeMessage(static_cast<unsigned char>(familyOf(gateway)), RT_TABLE_MAIN,
                        {{RTA_GATEWAY, gatewayAttributePayload(gateway)}});
}

// The notification of a new host route to `destination`, through `gateway` when one is given.
Bytes newHostRoute(const std::string& destination, const std::string& gateway = "") {
    const int family = familyOf(destination);
    std::vector<std::pair<unsigned short, Bytes>> attributes{
        {RTA_DST, gatewayAttributePayload(destination)}};
    if (!gateway.empty()) attributes.emplace_back(RTA_GATEWAY, gatewayAttributePayload(gateway));
    Bytes bytes = routeMessage(static_cast<unsigned char>(family), RT_TABLE_MAIN, attributes);
    bytes[sizeof(nlmsghdr) + offsetof(rtmsg, rtm_dst_len)] =
        std::byte{static_cast<unsigned char>(family == AF_INET6 ? 128 : 32)};
    return bytes;
}

// A message of any type with `size` bytes in all, its payload zero.
Bytes bareMessage(unsigned short type, std::uint32_t size) {
    Bytes bytes(size);
    nlmsghdr header{};
    header.nlmsg_len = size;
    header.nlmsg_type = type;
    std::memcpy(bytes.data(), &header, sizeof header);
    return bytes;
}

void setU16(Bytes& bytes, std::size_t offset, std::uint16_t value) {
    std::memcpy(bytes.data() + offset, &value, sizeof value);
}
void setU32(Bytes& bytes, std::size_t offset, std::uint32_t value) {
    std::memcpy(bytes.data() + offset, &value, sizeof value);
}

constexpr std::size_t firstAttribute = 28;  // message header and route header

// The walk written out as lines, so that a failure shows the whole walk.
std::vector<std::string> walk(const Bytes& datagram, int family) {
    std::vector<std::string> lines;
    for (const routing::WatchStep& step : routing::walkRouteNotifications(datagram, family)) {
        const std::string type = std::to_string(step.type);
        switch (step.kind) {
            case routing::WatchStep::Kind::Message:
                lines.push_back("message " + type);
                break;
            case routing::WatchStep::Kind::Attribute:
                lines.push_back("attribute " + type);
                break;
            case routing::WatchStep::Kind::Address:
                lines.push_back((step.gateway ? "gateway " : "address ") + step.address->text());
                break;
            case routing::WatchStep::Kind::SizeMismatch:
                lines.push_back("size mismatch " + type);
                break;
            case routing::WatchStep::Kind::DefaultWithoutGateway:
                lines.push_back("default without gateway");
                break;
        }
    }
    return lines;
}

using Lines = std::vector<std::string>;

TEST(RouteNotificationWalk, SeveralMessagesInOneDatagramAreWalkedInOrder) {
    const Bytes datagram =
        concat({newDefaultRoute("192.0.2.3"), newHostRoute("198.51.100.7", "192.0.2.1")});
    EXPECT_EQ(walk(datagram, AF_INET),
              (Lines{"message 24", "attribute 5", "gateway 192.0.2.3", "message 24", "attribute 1",
                     "address 198.51.100.7", "attribute 5", "gateway 192.0.2.1"}));
}

TEST(RouteNotificationWalk, Ipv6GatewaysAreTakenFromTwentyByteAttributes) {
    const Bytes datagram = routeMessage(AF_INET6, RT_TABLE_MAIN,
                                        {{RTA_OIF, word(3)},
                                         {RTA_GATEWAY, gatewayAttributePayload("fd42::1")},
                                         {RTA_GATEWAY, gatewayAttributePayload("192.0.2.1")}});
    EXPECT_EQ(walk(datagram, AF_INET6),
              (Lines{"message 24", "attribute 4", "size mismatch 4", "attribute 5",
                     "gateway fd42::1", "attribute 5", "size mismatch 5"}));
}

TEST(RouteNotificationWalk, MessagesOfOtherTypesGiveOnlyAMessageStep) {
    const Bytes datagram =
        concat({routeMessage(AF_INET, RT_TABLE_MAIN,
                             {{RTA_GATEWAY, gatewayAttributePayload("192.0.2.3")}}, RTM_DELROUTE),
                routeMessage(AF_INET, RT_TABLE_MAIN,
                             {{RTA_GATEWAY, gatewayAttributePayload("192.0.2.4")}}, RTM_NEWLINK),
                newDefaultRoute("192.0.2.5")});
    EXPECT_EQ(walk(datagram, AF_INET), (Lines{"message 25", "message 16", "message 24",
                                              "attribute 5", "gateway 192.0.2.5"}));
}

TEST(RouteNotificationWalk, AnAttributeOfAnotherLengthIsASizeMismatchAndTheWalkGoesOn) {
    const Bytes datagram = routeMessage(AF_INET, RT_TABLE_MAIN,
                                        {{RTA_GATEWAY, gatewayAttributePayload("2001:db8::3")},
                                         {RTA_PREF, Bytes{std::byte{0}}},
                                         {RTA_GATEWAY, gatewayAttributePayload("192.0.2.3")}});
    EXPECT_EQ(walk(datagram, AF_INET),
              (Lines{"message 24", "attribute 5", "size mismatch 5", "attribute 20",
                     "size mismatch 20", "attribute 5", "gateway 192.0.2.3"}));
}

TEST(RouteNotificationWalk, AMessageThatDoesNotFitStopsTheWalk) {
    Bytes datagram = concat({newDefaultRoute("192.0.2.3"), newDefaultRoute("192.0.2.4")});
    datagram.resize(datagram.size() - 4);
    EXPECT_EQ(walk(datagram, AF_INET), (Lines{"message 24", "attribute 5", "gateway 192.0.2.3"}));

    // A message claiming fewer bytes than its own header stops it as well.
    Bytes tooShort = concat({newDefaultRoute("192.0.2.3"), bareMessage(RTM_NEWROUTE, 16),
                             newDefaultRoute("192.0.2.4")});
    setU32(tooShort, 36, 8);
    EXPECT_EQ(walk(tooShort, AF_INET), (Lines{"message 24", "attribute 5", "gateway 192.0.2.3"}));

    // So does a remainder shorter than a message header.
    EXPECT_EQ(walk(concat({newDefaultRoute("192.0.2.3"), Bytes(12)}), AF_INET),
              (Lines{"message 24", "attribute 5", "gateway 192.0.2.3"}));
}

TEST(RouteNotificationWalk, AnAttributeThatDoesNotFitEndsTheWalkOfItsMessage) {
    Bytes overlong = routeMessage(AF_INET, RT_TABLE_MAIN,
                                  {{RTA_GATEWAY, gatewayAttributePayload("192.0.2.3")},
                                   {RTA_GATEWAY, gatewayAttributePayload("192.0.2.4")}});
    setU16(overlong, firstAttribute + 8, 200);
    // Attributes shorter than their own header: one of length 0 would never advance the walk.
    Bytes shorter = routeMessage(AF_INET, RT_TABLE_MAIN,
                                 {{RTA_GATEWAY, gatewayAttributePayload("192.0.2.5")},
                                  {RTA_GATEWAY, gatewayAttributePayload("192.0.2.6")},
                                  {RTA_GATEWAY, gatewayAttributePayload("192.0.2.7")}});
    setU16(shorter, firstAttribute + 8, 3);
    Bytes empty = routeMessage(AF_INET, RT_TABLE_MAIN,
                               {{RTA_GATEWAY, gatewayAttributePayload("192.0.2.8")},
                                {RTA_GATEWAY, gatewayAttributePayload("192.0.2.9")}});
    setU16(empty, firstAttribute + 8, 0);

    EXPECT_EQ(walk(concat({overlong, shorter, empty, newDefaultRoute("192.0.2.10")}), AF_INET),
              (Lines{"message 24", "attribute 5", "gateway 192.0.2.3", "message 24", "attribute 5",
                     "gateway 192.0.2.5", "message 24", "attribute 5", "gateway 192.0.2.8",
                     "message 24", "attribute 5", "gateway 192.0.2.10"}));
}

TEST(RouteNotificationWalk, ADoneMessageEndsTheWalk) {
    const Bytes datagram = concat(
        {newDefaultRoute("192.0.2.3"), support::netlinkDone(), newDefaultRoute("192.0.2.4")});
    EXPECT_EQ(walk(datagram, AF_INET), (Lines{"message 24", "attribute 5", "gateway 192.0.2.3"}));
}

TEST(RouteNotificationWalk, ARouteMessageWithoutARouteHeaderHasNoAttributes) {
    const Bytes datagram = concat({bareMessage(RTM_NEWROUTE, 16), bareMessage(RTM_NEWROUTE, 24),
                                   newDefaultRoute("192.0.2.3")});
    EXPECT_EQ(walk(datagram, AF_INET), (Lines{"message 24", "message 24", "message 24",
                                              "attribute 5", "gateway 192.0.2.3"}));
}

TEST(RouteNotificationWalk, TheNextMessageStartsAtTheLengthRoundedUpToFourBytes) {
    // 28 header bytes and one 5-byte attribute: a length of 33, the next message at 36.
    Bytes odd = routeMessage(AF_INET, RT_TABLE_MAIN, {{RTA_PREF, Bytes{std::byte{1}}}});
    ASSERT_EQ(odd.size(), 36u);
    setU32(odd, 0, 33);
    odd[sizeof(nlmsghdr) + offsetof(rtmsg, rtm_dst_len)] = std::byte{32};  // a host route
    EXPECT_EQ(walk(concat({odd, newDefaultRoute("192.0.2.3")}), AF_INET),
              (Lines{"message 24", "attribute 20", "size mismatch 20", "message 24", "attribute 5",
                     "gateway 192.0.2.3"}));
}

TEST(RouteNotificationWalk, AnEmptyDatagramGivesNothing) {
    EXPECT_TRUE(walk({}, AF_INET).empty());
    EXPECT_TRUE(walk(Bytes(15), AF_INET6).empty());
}

TEST(WatchDecision, OnlyAForeignDefaultRouteIsDeletedAndOneOfUnknownNextHopsIsLeft) {
    using Kind = routing::WatchStep::Kind;
    using routing::WatchAction;
    const auto address = [](const char* text) { return *netlink::Address::parse(text, AF_INET); };
    const auto step = [&](Kind kind, std::optional<netlink::Address> at, bool gateway,
                          bool defaultRoute, bool elsewhere = false) {
        return routing::WatchStep{kind, RTA_GATEWAY, at, gateway, defaultRoute, {}, elsewhere};
    };
    const auto foreign = address("192.0.2.1"), tunnel = address("10.8.0.1");
    const struct {
        const char* name;
        routing::WatchStep step;
        WatchAction action;
    } cases[] = {
        {"foreign gateway", step(Kind::Address, foreign, true, true), WatchAction::DeleteGateway},
        {"the tunnel's gateway", step(Kind::Address, tunnel, true, true), WatchAction::None},
        {"a host route's gateway", step(Kind::Address, foreign, true, false), WatchAction::None},
        {"a destination, not a gateway", step(Kind::Address, foreign, false, true),
         WatchAction::None},
        {"no gateway, one next hop", step(Kind::DefaultWithoutGateway, {}, false, true),
         WatchAction::DeleteDevice},
        {"next hops elsewhere", step(Kind::DefaultWithoutGateway, {}, false, true, true),
         WatchAction::LeaveInPlace},
        {"a message", step(Kind::Message, {}, false, false), WatchAction::None},
        {"a size mismatch", step(Kind::SizeMismatch, {}, false, true), WatchAction::None},
    };
    for (const auto& c : cases)
        EXPECT_EQ(routing::decideStep(c.step, tunnel), c.action) << c.name;
    EXPECT_EQ(routing::decideStep(cases[1].step, std::nullopt), WatchAction::DeleteGateway)
        << "without a tunnel no gateway is the tunnel's";
}

// --- the deletion command -----------------------------------------------------------------------

class CloseRouteCommand : public ::testing::Test {
  protected:
    support::Sandbox sandbox;
    support::FakeKernel kernel;
};

TEST_F(CloseRouteCommand, Ipv4TakesTheIpFormWithTwoBlanksWhenNoRouteProgramExists) {
    routing::CloseRoute(0, "192.0.2.3");
    EXPECT_EQ(kernel.commands, (Lines{"ip  route del default via 192.0.2.3"}));
}

TEST_F(CloseRouteCommand, Ipv4TakesTheRouteFormWhenARouteProgramExists) {
    for (const std::string& program : core::paths().routePrograms) {
        SCOPED_TRACE(program);
        support::writeFile(program, "");
        kernel.clear();
        routing::CloseRoute(0, "192.0.2.3");
        EXPECT_EQ(kernel.commands, (Lines{"route  del default gw 192.0.2.3"}));
        std::filesystem::remove(program);
    }
}

TEST_F(CloseRouteCommand, Ipv6AlwaysTakesTheIpForm) {
    routing::CloseRoute(1, "2001:db8::3");
    support::writeFile(core::paths().routePrograms.front(), "");
    routing::CloseRoute(1, "fd42::9");
    EXPECT_EQ(kernel.commands, (Lines{"ip -6 route del default via 2001:db8::3",
                                      "ip -6 route del default via fd42::9"}));
}

TEST_F(CloseRouteCommand, AnEmptyGatewayIsLoggedAndRunsNothing) {
    routing::CloseRoute(0, "");
    routing::CloseRoute(1, "");
    EXPECT_TRUE(kernel.commands.empty());
    EXPECT_TRUE(sandbox.logged("Asked to set route for server but received no address (IPv4)."));
    EXPECT_TRUE(sandbox.logged("Asked to set route for server but received no address (IPv6)."));
}

TEST_F(CloseRouteCommand, AFailingDeletionIsLoggedWithItsRawStatus) {
    kernel.statuses["ip  route del default via 192.0.2.3"] = 2 << 8;
    kernel.statuses["ip -6 route del default via 2001:db8::3"] = 127 << 8;
    routing::CloseRoute(0, "192.0.2.3");
    routing::CloseRoute(1, "2001:db8::3");
    EXPECT_TRUE(sandbox.logged("Error 512 setting route to server address (IPv4)."));
    EXPECT_TRUE(sandbox.logged("Error 32512 setting route to server address (IPv6)."));
    // Tried once each, never again.
    EXPECT_EQ(kernel.commands.size(), 2u);
}

// --- watcher threads on a socket pair -----------------------------------------------------------

using support::eventually;

std::size_t entriesOf(const char* directory) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory)) {
        ++count;
    }
    return count;
}
std::size_t threadCount() {
    return entriesOf("/proc/self/task");
}
std::size_t descriptorCount() {
    return entriesOf("/proc/self/fd");
}

bool hungUp(int fd) {
    pollfd waitFor{fd, POLLOUT, 0};
    return ::poll(&waitFor, 1, 0) == 1 && (waitFor.revents & POLLHUP) != 0;
}

class RouteWatcherThread : public ::testing::Test {
  protected:
    RouteWatcherThread() {
        // The watchers run commands on their own threads; the test reads them on its own.
        routing::kernel().run = [this, recorded = routing::kernel().run](std::string_view command) {
            std::lock_guard guard(lock_);
            return recorded(command);
        };
        routing::kernel().change =
            [this, recorded = routing::kernel().change](std::span<const std::byte> request) {
                std::lock_guard guard(lock_);
                return recorded(request);
            };
        routing::kernel().defaultRoutes = [this,
                                           recorded = routing::kernel().defaultRoutes](int family) {
            std::lock_guard guard(lock_);
            return recorded(family);
        };
        routing::kernel().openWatchSocket = [this](int family) { return openPair(family); };
        routing::InitRoutingVariablesOs();
        // Sanitizer runtimes start a thread of their own with the first thread a program
        // makes; let that happen before any test counts threads.
        std::thread([] {}).join();
    }
    ~RouteWatcherThread() override {
        routing::StopRouteWatchThread();
        routing::InitRoutingVariablesOs();
    }

    Lines commands() {
        std::lock_guard guard(lock_);
        return kernel_.commands;
    }
    bool ran(const std::string& command) {
        const Lines all = commands();
        return std::find(all.begin(), all.end(), command) != all.end();
    }
    int countRan(const std::string& command) {
        const Lines all = commands();
        return static_cast<int>(std::count(all.begin(), all.end(), command));
    }
    // Changes the fake kernel while no watcher acts on it.
    void inKernel(const std::function<void(support::FakeKernel&)>& change) {
        std::lock_guard guard(lock_);
        change(kernel_);
    }

    // The test's end of the socket that the watcher of `family` opened as its `nth` (from 1);
    // waits for the watcher to open it.
    int peer(int family, std::size_t nth = 1) {
        int fd = -1;
        eventually([&] {
            std::lock_guard guard(lock_);
            const auto& opened = peers_[family];
            if (opened.size() >= nth) fd = opened[nth - 1].get();
            return fd >= 0;
        });
        if (fd < 0) ADD_FAILURE() << "the watcher opened no socket " << nth;
        return fd;
    }
    std::size_t socketsOpened(int family) {
        std::lock_guard guard(lock_);
        return peers_[family].size();
    }
    // Sends to the socket the watcher of `family` opened last (waiting for its first).
    void send(int family, const Bytes& datagram) {
        const int fd = peer(family, std::max<std::size_t>(1, socketsOpened(family)));
        ASSERT_EQ(::send(fd, datagram.data(), datagram.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(datagram.size()));
    }
    // Closes the test's ends; the watchers' sockets then read an end of file.
    void closePeers() {
        std::lock_guard guard(lock_);
        for (auto& [family, opened] : peers_) {
            for (util::unique_fd& fd : opened)
                fd.reset();
        }
    }

    support::Sandbox sandbox;

  private:
    routing::WatchSocket openPair(int family) {
        int ends[2];
        routing::WatchSocket socket;
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
            socket.failure = routing::WatchSocket::Failure::Socket;
            socket.error = errno;
            return socket;
        }
        socket.fd.reset(ends[0]);
        std::lock_guard guard(lock_);
        peers_[family].emplace_back(ends[1]);
        return socket;
    }

    support::FakeKernel kernel_;
    std::mutex lock_;
    std::map<int, std::vector<util::unique_fd>> peers_;
};

TEST_F(RouteWatcherThread, AForeignGatewayLeadsToTheDeletionOfItsDefaultRoute) {
    routing::setTunnelAddress(AF_INET, "10.8.0.1");
    routing::setTunnelAddress(AF_INET6, "fd42::1");
    routing::StartRouteWatchThread();
    send(AF_INET, newDefaultRoute("192.0.2.3"));
    send(AF_INET6, newDefaultRoute("2001:db8::3"));
    EXPECT_TRUE(eventually([&] {
        return ran("ip  route del default via 192.0.2.3") &&
               ran("ip -6 route del default via 2001:db8::3");
    })) << testing::PrintToString(commands());
    EXPECT_TRUE(eventually([&] {
        return sandbox.logged("Got IPv4 address 192.0.2.3") &&
               sandbox.logged("Got IPv6 address 2001:db8::3");
    }));
}

// A deletion that fails is an error only while the route is still there: another program (a
// network manager replacing its routes) may have taken it first.
TEST_F(RouteWatcherThread, AFailedDeletionIsAnErrorOnlyWhileTheRouteStands) {
    for (const bool stands : {false, true}) {
        SCOPED_TRACE(stands ? "the route stands" : "the route went first");
        sandbox.clearLog();
        inKernel([&](support::FakeKernel& k) {
            k.clear();
            k.statuses["ip -6 route del default via 2001:db8::3"] = 2 << 8;
            k.defaults6.clear();
            if (stands) k.defaults6.push_back(support::FakeKernel::unicastDefault("2001:db8::3"));
        });
        routing::StartRouteWatchThread6();
        send(AF_INET6, newDefaultRoute("2001:db8::3"));
        ASSERT_TRUE(eventually([&] { return sandbox.logged("Got IPv6 address 2001:db8::3"); }));
        routing::StopRouteWatchThread6();  // once it has ended, the step has logged all it logs
        EXPECT_EQ(sandbox.logged("Error 512 setting route to server address (IPv6)."), stands);
    }
}

TEST_F(RouteWatcherThread, AForeignDefaultRouteIsOnRecordBeforeItIsDeleted) {
    std::string recorded;  // the state file as the deletion begins
    routing::kernel().run = [&, run = routing::kernel().run](std::string_view command) {
        if (command.find(" del default ") != std::string_view::npos)
            recorded = support::readFile(core::paths().stateFile);
        return run(command);
    };
    routing::StartRouteWatchThread4();
    send(AF_INET, newDefaultRoute("192.0.2.3"));
    ASSERT_TRUE(eventually([&] { return ran("ip  route del default via 192.0.2.3"); }));
    EXPECT_NE(recorded.find("removed=inet via 192.0.2.3 proto 0\n"), std::string::npos) << recorded;
}

TEST_F(RouteWatcherThread, TheTunnelsOwnIpv4GatewayIsLeftAlone) {
    routing::setTunnelAddress(AF_INET, "10.8.0.1");
    routing::StartRouteWatchThread4();
    send(AF_INET, newDefaultRoute("10.8.0.1"));
    send(AF_INET, newDefaultRoute("192.0.2.3"));  // handled after the tunnel's
    ASSERT_TRUE(eventually([&] { return ran("ip  route del default via 192.0.2.3"); }));
    EXPECT_EQ(commands(), (Lines{"ip  route del default via 192.0.2.3"}));
}

TEST_F(RouteWatcherThread, TheTunnelsOwnIpv6GatewayIsLeftAloneAlsoWhenWrittenInCapitals) {
    routing::setTunnelAddress(AF_INET6, "FD42::1");
    routing::StartRouteWatchThread6();
    send(AF_INET6, newDefaultRoute("fd42::1"));
    send(AF_INET6, newDefaultRoute("fd42::2"));
    ASSERT_TRUE(eventually([&] { return ran("ip -6 route del default via fd42::2"); }));
    EXPECT_EQ(commands(), (Lines{"ip -6 route del default via fd42::2"}));
}

TEST_F(RouteWatcherThread, ATunnelGatewayStoredWhileTheWatcherRunsIsHonoured) {
    routing::StartRouteWatchThread4();
    send(AF_INET, newDefaultRoute("10.8.0.1"));
    ASSERT_TRUE(eventually([&] { return ran("ip  route del default via 10.8.0.1"); }))
        << "without a tunnel gateway every gateway is foreign";

    routing::setTunnelAddress(AF_INET, "10.8.0.1");
    send(AF_INET, newDefaultRoute("10.8.0.1"));
    send(AF_INET, newDefaultRoute("192.0.2.3"));
    ASSERT_TRUE(eventually([&] { return ran("ip  route del default via 192.0.2.3"); }));
    EXPECT_EQ(commands(),
              (Lines{"ip  route del default via 10.8.0.1", "ip  route del default via 192.0.2.3"}));
}

TEST_F(RouteWatcherThread, OnlyNewDefaultRoutesLeadToADeletion) {
    routing::StartRouteWatchThread4();
    send(AF_INET,
         routeMessage(AF_INET, RT_TABLE_MAIN, {{RTA_GATEWAY, gatewayAttributePayload("192.0.2.4")}},
                      RTM_DELROUTE));
    send(AF_INET, newHostRoute("198.51.100.7"));
    // A host route through the physical gateway (the daemon's own, say) is left alone.
    send(AF_INET, newHostRoute("198.51.100.8", "192.0.2.1"));
    send(AF_INET, newDefaultRoute("192.0.2.5"));
    ASSERT_TRUE(eventually([&] { return ran("ip  route del default via 192.0.2.5"); }));
    EXPECT_EQ(commands(), (Lines{"ip  route del default via 192.0.2.5"}));
    EXPECT_EQ(sandbox.countContaining("Size mismatch"), 0) << "no address attribute was amiss";
}

TEST_F(RouteWatcherThread, EveryGatewayOfADatagramIsHandledAndMismatchesAreLogged) {
    routing::StartRouteWatchThread4();
    send(AF_INET, concat({routeMessage(AF_INET, RT_TABLE_MAIN,
                                       {{RTA_GATEWAY, gatewayAttributePayload("2001:db8::3")},
                                        {RTA_GATEWAY, gatewayAttributePayload("192.0.2.3")}}),
                          newDefaultRoute("192.0.2.4")}));
    ASSERT_TRUE(eventually([&] { return commands().size() == 2; }));
    EXPECT_EQ(commands(), (Lines{"ip  route del default via 192.0.2.3",
                                 "ip  route del default via 192.0.2.4"}));
    EXPECT_TRUE(eventually([&] { return sandbox.countContaining("Size mismatch (IPv4)") == 1; }));
}

TEST_F(RouteWatcherThread, ANotificationCutByTheReceiveBufferIsDropped) {
    routing::StartRouteWatchThread4();
    // 4080 bytes of another message, then a new route that crosses the 4096-byte buffer.
    send(AF_INET, concat({bareMessage(RTM_NEWLINK, 4080), newDefaultRoute("192.0.2.3")}));
    send(AF_INET, newDefaultRoute("192.0.2.4"));
    ASSERT_TRUE(eventually([&] { return ran("ip  route del default via 192.0.2.4"); }));
    EXPECT_EQ(commands(), (Lines{"ip  route del default via 192.0.2.4"}));
}

TEST_F(RouteWatcherThread, StopAndRestartLeaveNoThreadAndNoDescriptorBehind) {
    core::logMessage(core::levelInfo, "baseline");  // syslog holds its socket from now on
    const std::size_t threads = threadCount();
    const std::size_t descriptors = descriptorCount();

    routing::StopRouteWatchThread();  // none runs: nothing to do
    EXPECT_EQ(threadCount(), threads);

    routing::StartRouteWatchThread();
    const int first4 = peer(AF_INET);
    const int first6 = peer(AF_INET6);
    EXPECT_EQ(threadCount(), threads + 2);
    routing::StopRouteWatchThread();
    EXPECT_TRUE(hungUp(first4)) << "the stopped watcher keeps its socket open";
    EXPECT_TRUE(hungUp(first6)) << "the stopped watcher keeps its socket open";

    routing::StartRouteWatchThread();
    peer(AF_INET, 2);
    peer(AF_INET6, 2);
    send(AF_INET, newDefaultRoute("192.0.2.3"));
    ASSERT_TRUE(eventually([&] { return ran("ip  route del default via 192.0.2.3"); }))
        << "the restarted watcher does not work";
    routing::StopRouteWatchThread();
    routing::StopRouteWatchThread();  // stopping twice is harmless

    closePeers();
    EXPECT_TRUE(eventually([&] { return threadCount() == threads; })) << threadCount();
    EXPECT_EQ(descriptorCount(), descriptors);
}

TEST_F(RouteWatcherThread, StartingARunningWatcherReplacesIt) {
    const std::size_t threads = threadCount();
    routing::StartRouteWatchThread4();
    const int first = peer(AF_INET);
    routing::StartRouteWatchThread4();
    peer(AF_INET, 2);
    EXPECT_TRUE(hungUp(first)) << "the replaced watcher keeps its socket open";
    EXPECT_TRUE(eventually([&] { return threadCount() == threads + 1; })) << threadCount();

    send(AF_INET, newDefaultRoute("192.0.2.3"));
    EXPECT_TRUE(eventually([&] { return ran("ip  route del default via 192.0.2.3"); }));
    EXPECT_EQ(commands().size(), 1u);
}

TEST_F(RouteWatcherThread, AWatcherWhoseSocketClosesEndsAndIsReclaimedByTheNextStart) {
    core::logMessage(core::levelInfo, "baseline");
    const std::size_t threads = threadCount();
    const std::size_t descriptors = descriptorCount();
    routing::StartRouteWatchThread4();
    peer(AF_INET);
    EXPECT_TRUE(routing::state().routeWatchThread4.listening());
    closePeers();  // the watcher's receive now returns 0
    EXPECT_TRUE(eventually([&] { return threadCount() == threads; })) << threadCount();
    // It no longer counts as listening, and says so.
    EXPECT_FALSE(routing::state().routeWatchThread4.listening());
    EXPECT_TRUE(sandbox.logged(
        "The IPv4 route watcher has stopped: default routes that appear are no longer deleted"));

    routing::StartRouteWatchThread4();
    peer(AF_INET, 2);
    EXPECT_TRUE(routing::state().routeWatchThread4.listening());
    send(AF_INET, newDefaultRoute("192.0.2.3"));
    EXPECT_TRUE(eventually([&] { return ran("ip  route del default via 192.0.2.3"); }));
    routing::StopRouteWatchThread4();
    closePeers();
    EXPECT_TRUE(eventually([&] { return threadCount() == threads; })) << threadCount();
    EXPECT_EQ(descriptorCount(), descriptors);
}

TEST_F(RouteWatcherThread, SocketAndBindFailuresAreLoggedAndEndTheWatcher) {
    routing::kernel().openWatchSocket = [](int family) {
        routing::WatchSocket socket;
        socket.failure = family == AF_INET ? routing::WatchSocket::Failure::Socket
                                           : routing::WatchSocket::Failure::Bind;
        socket.error = family == AF_INET ? EPERM : EADDRINUSE;
        return socket;
    };
    const std::size_t threads = threadCount();
    routing::StartRouteWatchThread();
    const std::string socketFailure = "Error " + std::to_string(EPERM) + " (" +
                                      std::strerror(EPERM) + ") opening netlink socket (IPv4)";
    const std::string bindFailure = "Error " + std::to_string(EADDRINUSE) + " (" +
                                    std::strerror(EADDRINUSE) + ") binding netlink socket (IPv6)";
    EXPECT_TRUE(eventually([&] { return sandbox.logged(socketFailure); })) << socketFailure;
    EXPECT_TRUE(eventually([&] { return sandbox.logged(bindFailure); })) << bindFailure;
    EXPECT_TRUE(eventually([&] { return threadCount() == threads; })) << threadCount();
    routing::StopRouteWatchThread();
    EXPECT_EQ(threadCount(), threads);
}

// --- routes another program deletes -------------------------------------------------------------

Bytes deleted(Bytes notification) {
    setU16(notification, 4, RTM_DELROUTE);
    return notification;
}

class RouteWatcherKeeps : public RouteWatcherThread {
  protected:
    // A connection in lockdown: the gateway 192.0.2.1, routes to a server and a DNS server, and
    // the tunnel's default route over lo; the fake kernel holds them all.
    void holdConnection() {
        {
            routing::NetworkGuard guard;
            routing::State& s = routing::state();
            s.ipv4Gateway = routing::parseRouteWords(AF_INET, "via 192.0.2.1 dev lo");
            s.serverAddress = "198.51.100.7";
            s.dnsAddresses = {"203.0.113.53"};
            s.tunnelRoute = routing::parseRouteWords(AF_INET, "via 10.8.0.1 dev lo");
        }
        routing::setTunnelAddress(AF_INET, "10.8.0.1");
        inKernel([](support::FakeKernel& k) {
            k.hostRoutes.clear();
            for (const char* destination : {"198.51.100.7", "203.0.113.53"}) {
                routing::RouteInfo host;
                host.family = AF_INET;
                host.destination = netlink::Address::parse(destination, AF_INET);
                k.hostRoutes.push_back(host);
            }
            routing::RouteInfo tunnel = support::FakeKernel::unicastDefault("10.8.0.1");
            tunnel.outputInterface = ::if_nametoindex("lo");
            k.defaults4 = {tunnel};
        });
    }
    // Another program deletes them all from the kernel, as a reapply does.
    void takeAll() {
        inKernel([](support::FakeKernel& k) {
            k.hostRoutes.clear();
            k.defaults4.clear();
        });
    }
    // How many looks at the kept routes the IPv4 watcher took.
    int looks() const { return sandbox.countContaining("Looking at the routes kept (IPv4)"); }
    // Waits for the look after the `before`th to have ended: a look logs and acts under the
    // network lock.
    void awaitLook(int before) const {
        ASSERT_TRUE(eventually([&] { return looks() == before + 1; }));
        const routing::NetworkGuard lookEnded;
    }
    // Starts the IPv4 watcher and waits for its first look, which finds what it keeps.
    void startWatcher() {
        const int before = looks();
        routing::StartRouteWatchThread4();
        awaitLook(before);
    }

    static constexpr const char* serverAdd = "netlink add route inet 198.51.100.7 via 192.0.2.1";
    static constexpr const char* dnsAdd = "netlink add route inet 203.0.113.53 via 192.0.2.1";
    static constexpr const char* tunnelAdd = "netlink add route inet default via 10.8.0.1 dev lo";
};

TEST_F(RouteWatcherKeeps, RoutesAnotherProgramDeletesComeBackOnceTheBurstSettles) {
    holdConnection();
    startWatcher();
    EXPECT_EQ(countRan(serverAdd), 1) << "the first look found them in place";
    inKernel([](support::FakeKernel& k) { k.clear(); });
    const int before = looks();
    takeAll();
    send(AF_INET, concat({deleted(newHostRoute("198.51.100.7", "192.0.2.1")),
                          deleted(newHostRoute("203.0.113.53", "192.0.2.1"))}));
    send(AF_INET, deleted(newDefaultRoute("10.8.0.1")));
    // The tunnel's copy in the kill switch's table follows its route.
    ASSERT_TRUE(eventually([&] { return ran("netlink add route inet table 1000 via 10.8.0.1"); }))
        << testing::PrintToString(commands());
    EXPECT_EQ(countRan(serverAdd), 1);
    EXPECT_EQ(countRan(dnsAdd), 1);
    EXPECT_EQ(countRan(tunnelAdd), 1);
    EXPECT_EQ(looks(), before + 1) << "one look for the whole burst";
    EXPECT_TRUE(eventually([&] {
        return sandbox.logged(
            "Routes (IPv4) were removed by another program; put back: 203.0.113.53 via "
            "192.0.2.1, 198.51.100.7 via 192.0.2.1, default via 10.8.0.1 dev lo (0 more times "
            "since the last report)");
    }));
}

TEST_F(RouteWatcherKeeps, WhatTheDaemonRemovedItselfIsNotPutBack) {
    struct Case {
        void (*remove)();
        Bytes notification;
        std::vector<const char*> notPutBack;
    };
    const std::vector<Case> cases = {
        {routing::DisableCustomRoutes,
         concat({deleted(newHostRoute("198.51.100.7", "192.0.2.1")),
                 deleted(newDefaultRoute("10.8.0.1"))}),
         {serverAdd, tunnelAdd}},
        {routing::UnsetRoutesForDns, deleted(newHostRoute("203.0.113.53", "192.0.2.1")), {dnsAdd}},
    };
    for (const Case& c : cases) {
        holdConnection();
        startWatcher();
        const int before = looks();
        c.remove();  // the watcher looks only after this has ended
        takeAll();
        send(AF_INET, c.notification);
        awaitLook(before);
        for (const char* add : c.notPutBack)
            EXPECT_EQ(countRan(add), 1) << add << " was put back";  // the first look's only
        routing::StopRouteWatchThread4();
        inKernel([](support::FakeKernel& k) { k.clear(); });
    }
}

}  // namespace
