// The rtnetlink parsers: the reply to the IPv6 default gateway lookup, a route dump, a rule
// dump, and the route watchers' notifications of both families (their walk and the kill
// switch's look for deletions of its own). Each input is one datagram and goes through all of
// them, since the kernel (or anything that gets a message into the socket) may send any
// message type to any of them.

#include <linux/fib_rules.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <cstdint>

#include "fuzz_support.h"
#include "routing/kill_switch.h"
#include "routing/rtnetlink.h"
#include "routing/watchers.h"

namespace {

using routing::WatchStep;

void lookupReply(std::span<const std::byte> datagram) {
    const auto walk = routing::rtnetlink::walkIpv6LookupReply(datagram);
    if (walk.gateway) FUZZ_CHECK(walk.gateway->family == AF_INET6);
    if (walk.failed) FUZZ_CHECK(!walk.errors.empty());
    // Every message is at least a 16-byte header, and each gives at most one error per
    // attribute, itself at least four bytes.
    FUZZ_CHECK(walk.errors.size() <= datagram.size() / 4);
}

void routeDump(std::span<const std::byte> datagram) {
    routing::rtnetlink::RouteMessages messages;
    routing::rtnetlink::parseRouteMessages(datagram, messages);
    FUZZ_CHECK(messages.routes.size() <= datagram.size() / NLMSG_LENGTH(sizeof(rtmsg)));
    for (const routing::RouteInfo& route : messages.routes) {
        if (route.gateway) FUZZ_CHECK(route.gateway->family == route.family);
    }
    // A second datagram appends to the first.
    const std::size_t first = messages.routes.size();
    if (!messages.done && messages.error == 0) {
        routing::rtnetlink::parseRouteMessages(datagram, messages);
        FUZZ_CHECK(messages.routes.size() == 2 * first);
    }
}

void ruleDump(std::span<const std::byte> datagram) {
    routing::rtnetlink::RuleMessages messages;
    routing::rtnetlink::parseRuleMessages(datagram, messages);
    FUZZ_CHECK(messages.rules.size() <= datagram.size() / NLMSG_LENGTH(sizeof(fib_rule_hdr)));
}

void notifications(std::span<const std::byte> datagram, int family) {
    const auto loss = routing::killSwitchLoss(datagram, family);
    if (family == AF_INET) FUZZ_CHECK(!loss.blackhole);
    const std::vector<WatchStep> steps = routing::walkRouteNotifications(datagram, family);
    std::size_t messages = 0;
    for (const WatchStep& step : steps) {
        if (step.kind == WatchStep::Kind::Message) ++messages;
        if (step.kind == WatchStep::Kind::Address) {
            FUZZ_CHECK(step.address && step.address->family == family);
        } else {
            FUZZ_CHECK(!step.address && !step.gateway);
        }
    }
    if (!steps.empty()) FUZZ_CHECK(steps.front().kind == WatchStep::Kind::Message);
    FUZZ_CHECK(messages <= datagram.size() / NLMSG_HDRLEN);
    // Two steps per attribute of four bytes or more, one per message, one more per route.
    FUZZ_CHECK(steps.size() <= datagram.size());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silenceSyslog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto datagram = fuzz::bytesOf(data, size);
    lookupReply(datagram);
    routeDump(datagram);
    ruleDump(datagram);
    notifications(datagram, AF_INET);
    notifications(datagram, AF_INET6);
    return 0;
}
