#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "guard/kernel.h"
#include "routing/kernel.h"
#include "util/unique_fd.h"

namespace support {

// Stands in for nftables and the guard's netlink sockets while it lives: keeps the guard's
// table as the text of the last transaction that made it, and records every transaction.
class FakeFilter {
  public:
    FakeFilter();
    ~FakeFilter();
    FakeFilter(const FakeFilter&) = delete;
    FakeFilter& operator=(const FakeFilter&) = delete;

    // Runs `change` on the fields below while the guard's watcher cannot look at them; a test
    // whose guard holds touches them only so.
    void locked(const std::function<void()>& change) {
        std::lock_guard guard(lock_);
        change();
    }

    std::vector<std::string> transactions;  // every nft command text, in order
    std::optional<std::string> table;       // the commands that made the table, if it exists
    bool nfTables = true;                   // false: every transaction fails, as without it
    std::optional<std::string> failure;     // set: every transaction fails with this text
    std::uint64_t refused = 0;              // what the table's counter says
    // The host's addresses, for the guard and the kill switch's rules alike.
    std::vector<netlink::InterfaceAddress> addresses;
    std::map<std::string, unsigned> interfaces;  // index by name
    // The far ends of the watcher's sockets: interfaces first, then nf_tables.
    std::vector<util::unique_fd> watchPeers;

    // A copy of `addresses`, taken while the guard's watcher cannot change them.
    std::vector<netlink::InterfaceAddress> addressesNow() {
        std::lock_guard guard(lock_);
        return addresses;
    }

  private:
    std::mutex lock_;
    std::optional<std::string> nft(const std::string& commands, std::string& output);
    netlink::Subscription watch();
    guard::Kernel saved_;
};

// Stands in for the kernel while it lives: records every route command instead of running it,
// answers with chosen statuses, and keeps a small table of default routes that the default
// route commands change, so that the routing operations see the effect of their commands.
class FakeKernel {
  public:
    FakeKernel();
    ~FakeKernel();
    FakeKernel(const FakeKernel&) = delete;
    FakeKernel& operator=(const FakeKernel&) = delete;

    // The commands run so far, in order.
    std::vector<std::string> commands;
    // Status of a command by its exact text; 0 for commands not listed.
    std::map<std::string, int> statuses;
    // The default routes of the main table, by family.
    std::vector<routing::RouteInfo> defaults4, defaults6;
    // Host routes added over rtnetlink, recorded as "netlink add route inet 198.51.100.7 via
    // 192.0.2.1"; an equal destination answers EEXIST.
    std::vector<routing::RouteInfo> hostRoutes;
    // When set, reading the table fails.
    bool tableUnreadable = false;
    // The kill switch's entries as the fake kernel holds them, one text each ("rule inet 1000
    // table 254 suppress", "rule inet 997 table 254 fwmark 11805", "rule inet 998 table 254 to
    // 192.168.1.0/24", "route inet6 table 1000 unreachable", "route inet table 1000 via
    // 10.8.0.1"). Change requests are recorded in `commands` as "netlink add " or "netlink
    // del " and the entry's text. A route added to the main table joins the default routes
    // above, recorded as "netlink add route inet6 default " and the route's words (with
    // "expires N" for the lifetime it was given); `statuses` may answer it with a negative
    // errno.
    std::vector<std::string> entries;
    // Entries whose addition the fake refuses, as a kernel short of memory would.
    std::vector<std::string> refusedEntries;
    // Rules the fake reports besides its own entries; none to report no policy routing.
    std::optional<std::vector<routing::RuleInfo>> foreignRules = std::vector<routing::RuleInfo>{};
    bool ipv6 = true;
    // Router advertisement settings by device; a device not listed has none. A router
    // solicitation is recorded in `commands` as "solicit " and the device's index.
    std::map<std::string, routing::RouterAdvertisementSettings> advertisementSettings;
    // The device every address is routed through; none: no route.
    std::optional<netlink::Device> routeDevice;
    // The far ends of the route watchers' sockets, by family: a watcher stays quiet until a
    // test writes a datagram here.
    std::map<int, util::unique_fd> watchPeers;
    // The guard's side, which the connection handlers reach too.
    FakeFilter filter;

    static routing::RouteInfo unicastDefault(const std::string& gateway, unsigned metric = 0);
    static routing::RouteInfo blackholeDefault6();

    void clear() { commands.clear(); }

  private:
    // The route watchers call in from their own threads.
    std::mutex lock_;
    int run(std::string_view command);
    int change(std::span<const std::byte> request);
    int addMain(routing::RouteInfo route);
    int addHost(const routing::RouteInfo& route);
    std::optional<std::vector<routing::RuleInfo>> rules(int family);
    std::optional<std::vector<routing::RouteInfo>> tableDefaults(int family, std::uint32_t table);
    routing::Kernel saved_;
    std::string savedStateFile_;
};

// Netlink reply bytes for tests.
std::vector<std::byte> netlinkError(int code);
std::vector<std::byte> netlinkDone();
// An RTM_NEWROUTE message with the given attributes (type, payload) already laid out.
std::vector<std::byte> routeMessage(
    unsigned char family, unsigned char table,
    const std::vector<std::pair<unsigned short, std::vector<std::byte>>>& attributes,
    unsigned short type = 24);
std::vector<std::byte> gatewayAttributePayload(const std::string& address);
std::vector<std::byte> concat(const std::vector<std::vector<std::byte>>& parts);

}  // namespace support
