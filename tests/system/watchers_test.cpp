// The route watchers against the kernel's real routing table: they run in this process, which
// stands in the sandbox's namespaces, and delete default routes with the real route programs.

#include <linux/rtnetlink.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "core/log.h"
#include "routing/kernel.h"
#include "routing/routing.h"
#include "routing/state.h"
#include "system_test.h"

namespace systest {
namespace {

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

// Polls less often than eventually(): each look at a table of thousands of routes costs, and
// the watcher under test needs the processor.
bool eventuallySlowly(const std::function<bool()>& condition) {
    return eventually(condition, 90s, 250ms);
}

class RouteWatchersOnHost : public InProcessRouting {
  protected:
    void SetUp() override {
        InProcessRouting::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(core::logOpen(Daemon::logFile), 0);
    }
    void TearDown() override {
        routing::StopRouteWatchThread();
        core::logClose();
        InProcessRouting::TearDown();
    }

    // Starts the watchers and waits until they listen: routes added before that go unseen.
    void startWatchers(bool ipv4 = true, bool ipv6 = true) {
        if (ipv4) routing::StartRouteWatchThread4();
        if (ipv6) routing::StartRouteWatchThread6();
        ASSERT_TRUE(eventually([&] {
            return (!ipv4 || routeGroupWatched(RTMGRP_IPV4_ROUTE)) &&
                   (!ipv6 || routeGroupWatched(RTMGRP_IPV6_ROUTE));
        })) << "the watchers do not listen";
    }

    int defaults4(const std::string& prefix) const {
        return sandbox->countRoutes4("default via " + prefix);
    }
    int defaults6(const std::string& prefix) const {
        return sandbox->countRoutes6("default via " + prefix);
    }
};

TEST_F(RouteWatchersOnHost, AForeignDefaultRouteIsRemovedWithinSeconds) {
    startWatchers();
    must("ip route add default via 192.0.2.3 metric 50");
    must("ip -6 route add default via 2001:db8::3 metric 50");
    EXPECT_TRUE(eventually([&] { return defaults4("192.0.2.3") == 0; })) << must("ip route show");
    EXPECT_TRUE(eventually([&] { return defaults6("2001:db8::3") == 0; }))
        << must("ip -6 route show");
    // What stood when they began was told to no watcher: they read the table, and it went too.
    EXPECT_EQ(defaults4("192.0.2.1"), 0);
    EXPECT_EQ(defaults6("fe80::1"), 0);
}

TEST_F(RouteWatchersOnHost, ADefaultRouteWithoutGatewayIsRemovedToo) {
    // As a point-to-point uplink (PPP, mobile broadband) brings it.
    startWatchers();
    must("ip route add default dev veth0 metric 30");
    must("ip -6 route add default dev veth0 metric 30");
    EXPECT_TRUE(eventually([&] { return sandbox->countRoutes4("default dev veth0") == 0; }))
        << must("ip route show");
    EXPECT_TRUE(eventually([&] { return sandbox->countRoutes6("default dev veth0") == 0; }))
        << must("ip -6 route show");
}

TEST_F(RouteWatchersOnHost, ADefaultRouteOverSeveralNextHopsIsReportedAsLeftInPlace) {
    startWatchers();
    must("ip route add default metric 40 nexthop via 192.0.2.3 nexthop via 192.0.2.4");
    EXPECT_TRUE(eventually([] {
        for (const std::string& line : Daemon().messages()) {
            if (line.find("leads through next hops this watcher cannot judge") !=
                std::string::npos) {
                return true;
            }
        }
        return false;
    }));
}

TEST_F(RouteWatchersOnHost, TheTunnelsOwnDefaultRoutesAreKept) {
    sandbox->addTunnel();
    routing::setTunnelAddress(AF_INET, "10.8.0.1");
    routing::setTunnelAddress(AF_INET6, "FD42::1");  // as a client may write it
    startWatchers();
    must("ip route add default via 10.8.0.1 dev tun0 metric 10 onlink");
    must("ip -6 route add default via fd42::1 dev tun0 metric 10 onlink");
    // Foreign routes added after the tunnel's: once they are gone, the tunnel's were looked at.
    must("ip route add default via 192.0.2.3 metric 50");
    must("ip -6 route add default via 2001:db8::3 metric 50");
    ASSERT_TRUE(eventually([&] { return defaults4("192.0.2.3") == 0; }));
    ASSERT_TRUE(eventually([&] { return defaults6("2001:db8::3") == 0; }));
    EXPECT_EQ(defaults4("10.8.0.1 dev tun0"), 1) << must("ip route show");
    EXPECT_EQ(defaults6("fd42::1 dev tun0"), 1) << must("ip -6 route show");
}

TEST_F(RouteWatchersOnHost, AWatcherOfOneFamilyIgnoresRoutesOfTheOther) {
    startWatchers(true, false);
    EXPECT_FALSE(routeGroupWatched(RTMGRP_IPV6_ROUTE));
    must("ip -6 route add default via 2001:db8::3 metric 50");
    must("ip route add default via 192.0.2.3 metric 50");
    ASSERT_TRUE(eventually([&] { return defaults4("192.0.2.3") == 0; }));
    EXPECT_EQ(defaults6("2001:db8::3"), 1);
    // IPv6 notifications carry 16-byte addresses, which an IPv4 watcher would complain about.
    EXPECT_FALSE(daemon.logged("Size mismatch (IPv4)"));
    routing::StopRouteWatchThread();

    must("ip -6 route del default via 2001:db8::3");
    startWatchers(false, true);
    EXPECT_FALSE(routeGroupWatched(RTMGRP_IPV4_ROUTE));
    must("ip route add default via 192.0.2.3 metric 50");
    must("ip -6 route add default via 2001:db8::3 metric 50");
    ASSERT_TRUE(eventually([&] { return defaults6("2001:db8::3") == 0; }));
    EXPECT_EQ(defaults4("192.0.2.3"), 1);
}

TEST_F(RouteWatchersOnHost, AfterABurstThatOverflowsTheSocketForeignDefaultRoutesStillGo) {
    // The watcher's first deletion waits until the burst is in, so that the burst overflows
    // its socket however fast the watcher reads. It starts on a table with no default route,
    // which it would delete at once.
    must("ip route del default");
    const auto held = std::make_shared<std::atomic<bool>>(true);
    routing::kernel().run = [held, run = routing::kernel().run](std::string_view command) {
        while (*held)
            std::this_thread::sleep_for(1ms);
        return run(command);
    };
    startWatchers(true, false);
    // A foreign default route, then 10,000 host routes; the foreign default routes the watcher
    // must still remove come last.
    const std::string batch = sandbox->scratch() + "/burst";
    {
        std::ofstream out(batch);
        out << "route add default via 192.0.2.9 metric 40\n";
        for (int metric = 1; metric <= 40; ++metric) {
            for (int host = 1; host <= 250; ++host) {
                out << "route add 203.0.113." << host << "/32 via 192.0.2.1 metric " << metric
                    << "\n";
            }
        }
        out << "route add default via 192.0.2.3 metric 50\n";
    }
    must("ip -batch " + batch);
    must("ip route add default via 192.0.2.4 metric 60");
    *held = false;

    // The watcher first works through what it kept of the burst, a few seconds' worth.
    const auto gone = [](const std::string& gateway) {
        return must("ip route show default").find("via " + gateway + " ") == std::string::npos;
    };
    EXPECT_TRUE(eventuallySlowly([&] { return gone("192.0.2.3") && gone("192.0.2.4"); }))
        << must("ip route show default");
    EXPECT_TRUE(daemon.logged("Route notifications were lost (IPv4), checking the routing table"))
        << "the burst did not overflow the socket";

    // And it goes on watching.
    EXPECT_TRUE(routeGroupWatched(RTMGRP_IPV4_ROUTE));
    must("ip route add default via 192.0.2.5 metric 70");
    EXPECT_TRUE(eventuallySlowly([&] { return gone("192.0.2.5"); }))
        << must("ip route show default");
}

TEST_F(RouteWatchersOnHost, StopAndRestartLeaveNoThreadAndNoDescriptorBehind) {
    core::logMessage(core::levelInfo, "baseline");  // syslog holds its socket from now on
    // Sanitizer runtimes start a thread of their own with the first thread a program makes.
    std::thread([] {}).join();
    const std::size_t threads = threadCount();
    const std::size_t descriptors = descriptorCount();

    startWatchers();
    routing::StopRouteWatchThread();
    EXPECT_FALSE(routeGroupWatched(RTMGRP_IPV4_ROUTE));
    EXPECT_FALSE(routeGroupWatched(RTMGRP_IPV6_ROUTE));

    startWatchers();
    must("ip route add default via 192.0.2.3 metric 50");
    EXPECT_TRUE(eventually([&] { return defaults4("192.0.2.3") == 0; }))
        << "the restarted watcher does not work";
    routing::StopRouteWatchThread();

    EXPECT_FALSE(routeGroupWatched(RTMGRP_IPV4_ROUTE));
    EXPECT_FALSE(routeGroupWatched(RTMGRP_IPV6_ROUTE));
    EXPECT_TRUE(eventually([&] { return threadCount() == threads; })) << threadCount();
    EXPECT_EQ(descriptorCount(), descriptors);
}

}  // namespace
}  // namespace systest
