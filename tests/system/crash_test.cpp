// A day of lockdown, with the daemon killed by SIGKILL in the middle of each of its steps, at
// every record it makes of what it is about to change, and started again. Whatever the kill
// cut, the host is then in a state its user could expect: in lockdown nothing leaves outside
// the tunnel, while the daemon is down and after; a released lockdown has the default routes
// back; no tunnel route is taken for the physical network; the resolver file is the system's
// again; and status says what the kernel holds. After each point the rest of the day's close
// must bring the host back exactly as it was.

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "system_test.h"
#include "util/unique_fd.h"

namespace systest {
namespace {

constexpr const char* stateFile = "/run/telvord/state";
constexpr const char* crashLog = "/run/telvord-crash.log";
constexpr const char* systemResolver = "# the system's\nnameserver 192.0.2.53\n";
constexpr std::uint16_t farPort = 5353;
const std::string commandLine = "openvpn --client --dev tun --remote 203.0.113.7 1194 --verb 3";

struct DayStep {
    enum class Kind { Commands, Launch, Roaming };
    const char* name;
    std::vector<std::string> commands;  // what the client sends, for Kind::Commands
    Kind kind = Kind::Commands;
};

const DayStep day[] = {
    {"enablelockdown", {"enablelockdown"}},
    {"prepareforconnect", {"prepareforconnect"}},
    {"serveraddress", {"serveraddress", "203.0.113.7"}},
    {"dnsaddress", {"dnsaddress", "203.0.113.53"}},
    {"launch", {}, DayStep::Kind::Launch},
    {"connectionsuccesful", {"connectionsuccesful"}},
    {"connectionsuccesful4", {"connectionsuccesful4", "10.8.0.1"}},
    {"connectionsuccesful6", {"connectionsuccesful6", "fd42::1"}},
    {"replacedns", {"replacedns", "10.8.0.1"}},
    // A second network appears, as a laptop's wireless joins beside its wire.
    {"roaming", {}, DayStep::Kind::Roaming},
    {"restoredns", {"restoredns"}},
    {"connectionclosed", {"connectionclosed"}},
    {"disablelockdown", {"disablelockdown"}},
};
constexpr std::size_t lastStep = std::size(day) - 1;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

class CrashMatrix : public SystemTest, public ::testing::WithParamInterface<std::size_t> {
  protected:
    void SetUp() override {
        SystemTest::SetUp();
        if (IsSkipped()) return;
        sandbox->addSecondUplink();
        sandbox->addTunnel();
        mustOutside("ip addr add 203.0.113.1/32 dev lo; ip addr add 2001:db8:ff::1/128 dev lo");
        // No command removes the blackhole: it is part of the host from the first lockdown on.
        must("ip -6 route add blackhole default metric 4294967295");
        writeFile("/etc/resolv.conf", systemResolver);
        fake.emplace(sandbox->scratch() + "/vpn");
        initial = host();
    }

    // What the day changes on the host and must give back.
    std::string host() const {
        return must(
                   "ip route show; ip -6 route show; ip rule show; ip -6 rule show; nft list "
                   "tables") +
               readFile("/etc/resolv.conf");
    }

    void startDaemon(const std::string& binary, const char* variable, const std::string& value) {
        if (variable != nullptr) ::setenv(variable, value.c_str(), 1);
        daemon.setBinary(binary);
        daemon.start();
        if (variable != nullptr) ::unsetenv(variable);
    }

    // Runs one step of the day; one that the daemon does not live through ends early.
    void run(const DayStep& step, bool killDuringLaunch = false) {
        try {
            switch (step.kind) {
                case DayStep::Kind::Commands:
                    daemon.send(step.commands);
                    break;
                case DayStep::Kind::Launch:
                    launch(killDuringLaunch);
                    break;
                case DayStep::Kind::Roaming:
                    must("ip route add default via 198.51.100.1 dev veth2 proto dhcp metric 600");
                    eventually([] {
                        return readFile(stateFile).find("198.51.100.1") != std::string::npos;
                    });
                    break;
            }
        } catch (const std::exception&) {
            // The daemon went while it was answering.
        }
    }

    // The launch waits a second for OpenVPN before it answers: the kill comes in that second.
    void launch(bool kill) {
        if (!kill) {
            ASSERT_EQ(daemon.send({"path", fake->path(), "commandline", commandLine}),
                      std::vector<std::string>{"true"});
            return;
        }
        const std::size_t before = fake->records().size();
        telvorctl::Connection client = daemon.connect();
        telvorctl::Error error{};
        for (const auto& [keyword, argument] :
             {std::pair{"path", fake->path()}, std::pair{"commandline", commandLine}}) {
            const telvorctl::CommandEntry* entry = telvorctl::findCommand(keyword);
            ASSERT_TRUE(client.send(telvorctl::buildFrame({entry, argument}), error));
        }
        ASSERT_TRUE(eventually([&] { return fake->records().size() > before; }));
        daemon.kill(SIGKILL);
    }

    // The points at which the daemon records something during step `index` of the day.
    std::vector<std::string> killPoints(std::size_t index) {
        if (day[index].kind == DayStep::Kind::Launch) return {"launch"};
        ::unlink(crashLog);
        startDaemon(crashableDaemonBinary(), "TELVORD_CRASH_LOG", crashLog);
        for (std::size_t i = 0; i < index; ++i)
            run(day[i]);
        const std::size_t before = lines(readFile(crashLog)).size();
        run(day[index]);
        const std::vector<std::string> all = lines(readFile(crashLog));
        std::vector<std::string> points(all.begin() + static_cast<std::ptrdiff_t>(before),
                                        all.end());
        // Only the roaming step's records are the route watchers'; elsewhere theirs would come
        // at moments of their own.
        if (day[index].kind != DayStep::Kind::Roaming) {
            std::erase_if(points,
                          [](const std::string& p) { return p.starts_with("background:"); });
        }
        giveBack();
        return points;
    }

    // Whether datagrams to a destination behind the uplink get out, past a route such as a
    // hostile LAN pushes; a marker over the LAN shows when all have arrived.
    int leaked() {
        must(
            "ip route add 203.0.113.0/24 via 192.0.2.1; "
            "ip -6 route add 2001:db8:ff::/48 via fe80::1 dev veth0");
        const util::unique_fd receiver = farReceiver(farPort);
        const util::unique_fd four(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        const util::unique_fd six(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sendDatagrams(four.get(), "203.0.113.1", farPort, 20);
        sendDatagrams(six.get(), "2001:db8:ff::1", farPort, 20);
        sendDatagrams(four.get(), lanPeer, farPort, 1, "marker4");
        int count = countBeforeMarker(receiver.get(), "marker4");
        sendDatagrams(six.get(), lanPeer6, farPort, 1, "marker6");
        count += countBeforeMarker(receiver.get(), "marker6");
        must("ip route del 203.0.113.0/24; ip -6 route del 2001:db8:ff::/48");
        return count;
    }

    void expectStatus(const std::string& status, bool lockdown) {
        const std::string yes = lockdown ? "true" : "false";
        for (const std::string& part :
             {"\"lockdown\":" + yes, "\"killswitch\":" + yes, "\"guard\":" + yes,
              "\"watchers\":" + yes, std::string("\"connected\":false"),
              std::string("\"tunnel4\":null"), std::string("\"tunnel6\":null"),
              std::string("\"resolver\":\"system\"")})
            EXPECT_NE(status.find(part), std::string::npos) << part << "\n" << status;
        // The host routes it names are those the kernel holds.
        for (const std::string host : {"203.0.113.7", "203.0.113.53"}) {
            EXPECT_EQ(status.find("\"" + host + "\"") != std::string::npos,
                      sandbox->countRoutes4(host + " via") == 1)
                << host << "\n"
                << status << must("ip route show");
        }
    }

    // What must hold after a restart that followed a kill in step `index`.
    void expectTheUsersState(std::size_t index) {
        const bool lockdown = index != lastStep;
        const std::string status = must(telvorctlBinary() + " status --json");
        expectStatus(status, lockdown);
        const std::string state = readFile(stateFile);
        for (const char* tunnel : {"10.8.0.1", "fd42::1", "tun0"}) {
            EXPECT_EQ(state.find(tunnel), std::string::npos) << tunnel << "\n" << state;
            EXPECT_EQ(status.find(tunnel), std::string::npos) << tunnel << "\n" << status;
        }
        EXPECT_EQ(state.find("inflight="), std::string::npos) << state;
        EXPECT_EQ(state.find("resolvedlink="), std::string::npos) << state;
        EXPECT_EQ(readFile("/etc/resolv.conf"), systemResolver);
        EXPECT_NE(::access("/etc/resolv.conf.telvord", F_OK), 0);
        if (lockdown) {
            EXPECT_EQ(leaked(), 0);
        } else {
            EXPECT_TRUE(sandbox->hasRoute4("default via 192.0.2.1 dev veth0"))
                << must("ip route show");
            EXPECT_EQ(sandbox->countRoutes6("default via fe80::1 dev veth0 metric 1024"), 1)
                << must("ip -6 route show");
        }
    }

    // Ends the day and checks that the host is as it was before it.
    void giveBack() {
        daemon.send({"connectionclosed", "disablelockdown"});
        sh("ip route del default via 198.51.100.1 dev veth2");  // the second network's, given back
        daemon.stop();
        ASSERT_EQ(host(), initial);
        ASSERT_NE(::access(stateFile, F_OK), 0) << readFile(stateFile);
    }

    void killAt(std::size_t index, const std::string& point) {
        SCOPED_TRACE("killed in " + std::string(day[index].name) + " at " + point);
        const bool fromOutside = point == "launch";
        startDaemon(crashableDaemonBinary(), fromOutside ? nullptr : "TELVORD_CRASH_AT", point);
        for (std::size_t i = 0; i < index; ++i)
            run(day[i]);
        ASSERT_TRUE(daemon.running()) << "killed before the step";
        run(day[index], fromOutside);
        ASSERT_TRUE(daemon.waitExit()) << "the kill point was not reached";
        // While no daemon runs, lockdown that was in force holds by its rules and table.
        if (index > 0 && index < lastStep) {
            EXPECT_EQ(leaked(), 0) << "while the daemon was down";
        }
        startDaemon(daemonBinary(), nullptr, {});
        expectTheUsersState(index);
        giveBack();
    }

    std::optional<FakeOpenVpn> fake;
    std::string initial;
};

TEST_P(CrashMatrix, AKillAtAnyRecordLeavesAStateTheUserCouldExpect) {
    const std::size_t index = GetParam();
    const std::vector<std::string> points = killPoints(index);
    ASSERT_FALSE(points.empty());
    std::cout << day[index].name << ": " << points.size() << " kill points\n";
    for (const std::string& point : points) {
        killAt(index, point);
        if (HasFatalFailure()) return;
    }
}

INSTANTIATE_TEST_SUITE_P(Day, CrashMatrix, ::testing::Range<std::size_t>(0, std::size(day)),
                         [](const ::testing::TestParamInfo<std::size_t>& step) {
                             return std::string(day[step.param].name);
                         });

}  // namespace
}  // namespace systest
