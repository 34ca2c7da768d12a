#include "routing/remembered_routes.h"

#include <linux/icmpv6.h>
#include <net/if.h>
#include <time.h>

#include <algorithm>
#include <charconv>
#include <cstring>

#include "netlink/bytes.h"
#include "util/words.h"

namespace routing {
namespace {

// The metrics a route record carries, by ip's words for them. The TCP timing metrics and the
// feature bits, which no DHCP client or router sets on a default route, are not kept.
struct MetricWord {
    unsigned short type;
    const char* word;
};
constexpr MetricWord metricWords[] = {
    {RTAX_MTU, "mtu"},
    {RTAX_WINDOW, "window"},
    {RTAX_SSTHRESH, "ssthresh"},
    {RTAX_CWND, "cwnd"},
    {RTAX_ADVMSS, "advmss"},
    {RTAX_REORDERING, "reordering"},
    {RTAX_HOPLIMIT, "hoplimit"},
    {RTAX_INITCWND, "initcwnd"},
    {RTAX_INITRWND, "initrwnd"},
    {RTAX_QUICKACK, "quickack"},
    {RTAX_FASTOPEN_NO_COOKIE, "fastopen_no_cookie"},
};

const MetricWord* metricWord(unsigned short type) {
    for (const MetricWord& m : metricWords) {
        if (m.type == type) return &m;
    }
    return nullptr;
}

const MetricWord* metricWord(std::string_view word) {
    for (const MetricWord& m : metricWords) {
        if (word == m.word) return &m;
    }
    return nullptr;
}

// A router's preferences other than medium, by ip's words.
const char* preferenceWord(unsigned preference) {
    return preference == ICMPV6_ROUTER_PREF_LOW    ? "low"
           : preference == ICMPV6_ROUTER_PREF_HIGH ? "high"
                                                   : nullptr;
}

template <typename Number>
std::optional<Number> number(std::string_view text) {
    Number value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// An interface name as the kernel allows it, and as a command word can carry it.
bool deviceName(std::string_view name) {
    return !name.empty() && name.size() < IF_NAMESIZE && name != "." && name != ".." &&
           std::all_of(name.begin(), name.end(),
                       [](char c) { return c > ' ' && c < 0x7f && c != '/' && c != ':'; });
}

// The scope ip gives a route it is not told one for.
unsigned usualScope(const DefaultRoute& route) {
    return route.family == AF_INET && !route.gateway ? RT_SCOPE_LINK : RT_SCOPE_UNIVERSE;
}

// Stands for a scope no word gave while the words are read.
constexpr unsigned scopeUnset = 256;

// Applies one "key value" pair of a route record; false when the value is not one for it.
bool applyWord(DefaultRoute& route, const std::string& key, const std::string& value) {
    const auto set32 = [&](auto& field, std::uint32_t most) {
        const auto parsed = number<std::uint32_t>(value);
        if (!parsed || *parsed > most) return false;
        field = *parsed;
        return true;
    };
    if (key == "via" || key == "src") {
        auto& address = key == "via" ? route.gateway : route.source;
        return (address = netlink::Address::parse(value, route.family)).has_value();
    }
    if (key == "dev") {
        if (!deviceName(value)) return false;
        route.device = value;
        return true;
    }
    if (key == "metric") return set32(route.metric, 0xffffffffu);
    if (key == "proto") return set32(route.protocol, 255);
    if (key == "scope") return set32(route.scope, 255);
    if (key == "pref") {
        for (const unsigned p : {ICMPV6_ROUTER_PREF_LOW, ICMPV6_ROUTER_PREF_HIGH}) {
            if (value == preferenceWord(p)) route.preference = p;
        }
        return route.family == AF_INET6 && route.preference != 0;
    }
    if (key == "expires-at") {
        route.expiresAt = number<std::int64_t>(value);
        return route.expiresAt && *route.expiresAt >= 0;
    }
    const MetricWord* metric = metricWord(key);
    const auto parsed = number<std::uint32_t>(value);
    if (metric == nullptr || !parsed) return false;
    route.metrics.push_back({metric->type, *parsed, false});
    return true;
}

void appendMetrics(netlink::Request& request, const std::vector<RouteMetric>& metrics) {
    std::vector<std::byte> nested;
    const auto add = [&](unsigned short type, std::uint32_t value) {
        rtattr header{};
        header.rta_len = static_cast<unsigned short>(RTA_LENGTH(sizeof value));
        header.rta_type = type;
        const auto* bytes = reinterpret_cast<const std::byte*>(&header);
        nested.insert(nested.end(), bytes, bytes + sizeof header);
        bytes = reinterpret_cast<const std::byte*>(&value);
        nested.insert(nested.end(), bytes, bytes + sizeof value);
    };
    std::uint32_t locks = 0;
    for (const RouteMetric& metric : metrics) {
        add(metric.type, metric.value);
        if (metric.locked && metric.type < 32) locks |= 1u << metric.type;
    }
    if (locks != 0) add(RTAX_LOCK, locks);
    if (!nested.empty()) request.attribute(RTA_METRICS, nested.data(), nested.size());
}

}  // namespace

std::string routeWords(const DefaultRoute& route) {
    std::vector<std::string> words;
    if (route.gateway) words.push_back("via " + route.gateway->text());
    if (!route.device.empty()) words.push_back("dev " + route.device);
    if (route.metric != 0) words.push_back("metric " + std::to_string(route.metric));
    if (route.protocol != RTPROT_BOOT) words.push_back("proto " + std::to_string(route.protocol));
    if (route.source) words.push_back("src " + route.source->text());
    if (route.scope != usualScope(route)) words.push_back("scope " + std::to_string(route.scope));
    if (route.onlink) words.emplace_back("onlink");
    if (const char* preference = preferenceWord(route.preference))
        words.push_back(std::string("pref ") + preference);
    for (const RouteMetric& metric : route.metrics) {
        if (const MetricWord* name = metricWord(metric.type))
            words.push_back(std::string(name->word) + (metric.locked ? " lock " : " ") +
                            std::to_string(metric.value));
    }
    if (route.expiresAt) words.push_back("expires-at " + std::to_string(*route.expiresAt));
    std::string text;
    for (const std::string& word : words)
        text += (text.empty() ? "" : " ") + word;
    return text;
}

std::optional<DefaultRoute> parseRouteWords(int family, std::string_view text) {
    const std::vector<std::string> words = util::spaceSeparatedWords(text);
    DefaultRoute route;
    route.family = family;
    route.scope = scopeUnset;
    std::vector<std::string> seen;
    for (std::size_t i = 0; i < words.size();) {
        const std::string& key = words[i++];
        if (std::find(seen.begin(), seen.end(), key) != seen.end()) return std::nullopt;
        seen.push_back(key);
        if (key == "onlink") {
            route.onlink = true;
            continue;
        }
        const bool locked = metricWord(key) != nullptr && i < words.size() && words[i] == "lock";
        i += locked ? 1 : 0;
        if (i >= words.size() || !applyWord(route, key, words[i++])) return std::nullopt;
        if (locked) route.metrics.back().locked = true;
    }
    if (!route.gateway && route.device.empty()) return std::nullopt;
    if (route.scope == scopeUnset) route.scope = usualScope(route);
    std::sort(route.metrics.begin(), route.metrics.end(),
              [](const RouteMetric& a, const RouteMetric& b) { return a.type < b.type; });
    return route;
}

std::int64_t bootSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    return now.tv_sec;
}

DefaultRoute rememberedRoute(const RouteInfo& info) {
    DefaultRoute route;
    route.family = info.family;
    route.gateway = info.gateway;
    char name[IF_NAMESIZE] = {};
    if (info.outputInterface != 0 && ::if_indextoname(info.outputInterface, name) != nullptr)
        route.device = name;
    route.metric = info.priority;
    route.protocol = info.protocol;
    route.source = info.source;
    route.scope = info.scope;
    route.onlink = (info.flags & RTNH_F_ONLINK) != 0;
    if (info.family == AF_INET6 && preferenceWord(info.preference) != nullptr)
        route.preference = info.preference;
    std::copy_if(info.metrics.begin(), info.metrics.end(), std::back_inserter(route.metrics),
                 [](const RouteMetric& m) { return metricWord(m.type) != nullptr; });
    if (info.expires) route.expiresAt = bootSeconds() + *info.expires;
    return route;
}

bool sameRoute(const DefaultRoute& a, const DefaultRoute& b) {
    return a.family == b.family && a.gateway == b.gateway && a.device == b.device &&
           a.metric == b.metric;
}

bool rememberRoute(std::vector<DefaultRoute>& routes, const DefaultRoute& route) {
    const auto same = std::find_if(routes.begin(), routes.end(),
                                   [&](const DefaultRoute& r) { return sameRoute(r, route); });
    if (same != routes.end()) {
        if (*same == route) return false;
        *same = route;  // its lifetime, say, was renewed
        return true;
    }
    std::vector<DefaultRoute>::iterator highest = routes.end();
    std::size_t onDevice = 0;
    for (auto r = routes.begin(); r != routes.end(); ++r) {
        if (r->family != route.family || r->device != route.device) continue;
        ++onDevice;
        if (highest == routes.end() || r->metric >= highest->metric) highest = r;
    }
    if (onDevice < routesPerDevice) {
        routes.push_back(route);
        return true;
    }
    if (route.metric >= highest->metric) return false;
    routes.erase(highest);
    routes.push_back(route);
    return true;
}

NetworkChange followNetwork(std::vector<DefaultRoute>& routes,
                            const std::optional<DefaultRoute>& gateway, const DefaultRoute& route,
                            const Usable& usable) {
    const auto onDevice = [&](const DefaultRoute& r) {
        return r.family == route.family && r.device == route.device;
    };
    const auto known = [&](const DefaultRoute& r) { return sameRoute(r, route); };
    const bool isKnown = std::any_of(routes.begin(), routes.end(), known);
    const bool roaming = isKnown || std::none_of(routes.begin(), routes.end(), [&](const auto& r) {
                             return onDevice(r) && usable(r);
                         });
    NetworkChange change;
    if (roaming) {
        // A new network on the device: what was remembered there no longer works.
        const std::size_t gone = isKnown ? 0 : std::erase_if(routes, onDevice);
        change.remembered = rememberRoute(routes, route) || gone > 0;
    }
    const bool remembered = std::any_of(routes.begin(), routes.end(), known);
    if (gateway && usable(*gateway)) {
        const bool elsewhere =
            !route.device.empty() && !gateway->device.empty() && route.device != gateway->device;
        if (remembered && elsewhere && route.metric < gateway->metric) change.gateway = route;
        return change;
    }
    std::optional<DefaultRoute> best;
    for (const DefaultRoute& r : routes) {
        if (r.family == route.family && (!best || r.metric < best->metric) && usable(r)) best = r;
    }
    if (best && !(gateway && sameRoute(*best, *gateway))) change.gateway = best;
    return change;
}

std::vector<std::byte> restoreRequest(const DefaultRoute& route, unsigned interface,
                                      std::optional<std::uint32_t> lifetime, bool withSource) {
    rtmsg header{};
    header.rtm_family = static_cast<unsigned char>(route.family);
    header.rtm_table = RT_TABLE_MAIN;
    header.rtm_protocol = static_cast<unsigned char>(route.protocol);
    header.rtm_scope = static_cast<unsigned char>(route.scope);
    header.rtm_type = RTN_UNICAST;
    header.rtm_flags = route.onlink ? RTNH_F_ONLINK : 0;
    netlink::Request request(RTM_NEWROUTE, NLM_F_REQUEST | NLM_F_ACK | NLM_F_CREATE | NLM_F_EXCL, 0,
                             header);
    const std::size_t size = netlink::Address::size(route.family);
    if (route.gateway) request.attribute(RTA_GATEWAY, route.gateway->bytes.data(), size);
    if (interface != 0) request.attribute32(RTA_OIF, interface);
    // As with ip, an IPv6 route without a metric gets the kernel's (1024).
    if (route.metric != 0) request.attribute32(RTA_PRIORITY, route.metric);
    if (withSource && route.source)
        request.attribute(RTA_PREFSRC, route.source->bytes.data(), size);
    if (route.family == AF_INET6 && route.preference != 0) {
        const auto preference = static_cast<std::uint8_t>(route.preference);
        request.attribute(RTA_PREF, &preference, sizeof preference);
    }
    if (route.family == AF_INET6 && lifetime) request.attribute32(RTA_EXPIRES, *lifetime);
    appendMetrics(request, route.metrics);
    return request.bytes();
}

bool kernelLearnsDefaultRouters(const RouterAdvertisementSettings& settings) {
    const bool accepts = settings.forwarding != 0 ? settings.acceptRa == 2 : settings.acceptRa > 0;
    return accepts && settings.acceptDefaultRouter != 0;
}

}  // namespace routing
