// The tunnel's DNS server given to systemd-resolved, seen through the calls the resolver
// operations make on a recording bus: what a replacement gives, which links are left alone,
// and what the restore takes back.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/paths.h"
#include "dns/resolved.h"
#include "dns/resolver.h"
#include "support.h"

namespace {

using namespace dns::resolved;

class ResolvedClient : public ::testing::Test {
  protected:
    ResolvedClient() : saved_(bus()) {
        support::writeFile(core::paths().resolverFile, "nameserver 192.0.2.53\n");
        bus() = Bus{
            .connect = [this] { return running; },
            .call = [this](const Call& call) -> std::optional<BusError> {
                calls.push_back(call);
                if (call.index() != failing) return std::nullopt;
                return BusError{"org.freedesktop.DBus.Error.AccessDenied", "denied"};
            },
        };
        dns::SetResolvedLinkRecorder([this](std::optional<int> l) { recorded.push_back(l); });
    }
    ~ResolvedClient() override {
        dns::ResetDns();
        dns::InitializeDnsVariables();
        dns::SetResolvedLinkRecorder([](std::optional<int>) {});
        bus() = saved_;
    }

    static std::vector<Call> given(int ifindex, const std::string& server) {
        const int family = server.find(':') == std::string::npos ? AF_INET : AF_INET6;
        return {SetLinkDns{ifindex, *netlink::Address::parse(server, family)},
                SetLinkDomains{ifindex, ".", true}, SetLinkDefaultRoute{ifindex, true}};
    }
    static std::vector<Call> join(std::vector<std::vector<Call>> parts) {
        std::vector<Call> all;
        for (const auto& part : parts)
            all.insert(all.end(), part.begin(), part.end());
        return all;
    }

    support::Sandbox sandbox;
    bool running = true;
    std::optional<int> link = 7;  // the tunnel's device the server is reached through
    std::size_t failing = std::variant_size_v<Call>;  // the index of a method that fails
    std::vector<Call> calls;
    std::vector<std::optional<int>> recorded;  // what the state file was told, in order

  private:
    Bus saved_;
};

TEST_F(ResolvedClient, TunnelLinkGetsTheServerAsEveryNamesRouteAndTheRestoreRevertsIt) {
    for (const std::string server : {"10.8.0.1", "fd42::1"}) {
        SCOPED_TRACE(server);
        calls.clear();
        recorded.clear();
        dns::ReplaceDns(server, link);
        EXPECT_EQ(calls, given(7, server));
        EXPECT_EQ(support::readFile(core::paths().resolverFile),
                  "# Written by TELVORD\nnameserver " + server);
        EXPECT_EQ(recorded, std::vector<std::optional<int>>{7});
        dns::ResetDns();
        dns::InitializeDnsVariables();
        EXPECT_EQ(calls, join({given(7, server), {RevertLink{7}}}));
        EXPECT_EQ(recorded, (std::vector<std::optional<int>>{7, std::nullopt}));
    }
}

TEST_F(ResolvedClient, ResolvedIsLeftAloneUnlessItRunsAndTheServerIsBehindATunnel) {
    struct Case {
        const char* name;
        bool running;
        std::optional<int> link;
        const char* server;
    };
    for (const Case& c : std::vector<Case>{
             {"no resolved or no bus", false, 7, "10.8.0.1"},
             {"no tunnel device on the way to it", true, std::nullopt, "10.8.0.1"},
             {"link-local server", true, 7, "fe80::1%eth0"},
         }) {
        SCOPED_TRACE(c.name);
        running = c.running;
        dns::ReplaceDns(c.server, c.link);
        EXPECT_EQ(support::readFile(core::paths().resolverFile),
                  std::string("# Written by TELVORD\nnameserver ") + c.server);
        dns::ResetDns();
        dns::InitializeDnsVariables();
        EXPECT_EQ(calls, std::vector<Call>{});
        EXPECT_EQ(sandbox.countContaining("refused"), 0);
    }
}

TEST_F(ResolvedClient, RestoreRevertsTheLinkGivenLastAndAnEarlierOneWhenTheLinkChanged) {
    dns::ReplaceDns("10.8.0.1", link);
    dns::ReplaceDns("10.8.0.1", link);
    link = 9;
    dns::ReplaceDns("10.8.0.1", link);
    dns::ResetDns();
    dns::ResetDns();
    EXPECT_EQ(calls, join({given(7, "10.8.0.1"),
                           given(7, "10.8.0.1"),
                           {RevertLink{7}},
                           given(9, "10.8.0.1"),
                           {RevertLink{9}}}));
}

TEST_F(ResolvedClient, ARefusedCallTakesBackAtOnceWhatTheCallsBeforeItSet) {
    failing = 1;  // SetLinkDomains
    dns::ReplaceDns("10.8.0.1", link);
    EXPECT_EQ(calls, join({{given(7, "10.8.0.1")[0], given(7, "10.8.0.1")[1]}, {RevertLink{7}}}));
    EXPECT_EQ(recorded, (std::vector<std::optional<int>>{7, std::nullopt}));
    EXPECT_EQ(sandbox.countContaining("systemd-resolved refused SetLinkDomains for link 7"), 1);
    dns::ResetDns();
    EXPECT_EQ(calls.size(), 3u) << "nothing is left to take back";
}

TEST_F(ResolvedClient, ALinkAnEarlierRunRecordedIsForgottenOnlyOnceResolvedLetItGo) {
    dns::TakeBackResolvedLink(5);
    EXPECT_EQ(calls, std::vector<Call>{RevertLink{5}});
    EXPECT_EQ(recorded, std::vector<std::optional<int>>{std::nullopt});
    failing = 3;  // RevertLink
    dns::TakeBackResolvedLink(5);
    EXPECT_EQ(recorded.size(), 1u) << "kept, to be taken back at the next start";
}

}  // namespace
