#include "routing/remembered_routes.h"

#include <net/if.h>

#include <algorithm>
#include <charconv>

#include "util/words.h"

namespace routing {
namespace {

std::optional<std::uint32_t> number(std::string_view text) {
    std::uint32_t value = 0;
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

}  // namespace

std::string routeWords(const DefaultRoute& route) {
    std::vector<std::string> words;
    if (route.gateway) words.push_back("via " + route.gateway->text());
    if (!route.device.empty()) words.push_back("dev " + route.device);
    if (route.metric != 0) words.push_back("metric " + std::to_string(route.metric));
    if (route.protocol != RTPROT_BOOT) words.push_back("proto " + std::to_string(route.protocol));
    std::string text;
    for (const std::string& word : words)
        text += (text.empty() ? "" : " ") + word;
    return text;
}

std::optional<DefaultRoute> parseRouteWords(int family, std::string_view text) {
    const std::vector<std::string> words = util::spaceSeparatedWords(text);
    if (words.size() % 2 != 0) return std::nullopt;
    DefaultRoute route;
    route.family = family;
    bool seen[4] = {};
    for (std::size_t i = 0; i < words.size(); i += 2) {
        const std::string& key = words[i];
        const std::string& value = words[i + 1];
        const int slot = key == "via"      ? 0
                         : key == "dev"    ? 1
                         : key == "metric" ? 2
                         : key == "proto"  ? 3
                                           : -1;
        if (slot < 0 || std::exchange(seen[slot], true)) return std::nullopt;
        if (slot == 0 && !(route.gateway = netlink::Address::parse(value, family)))
            return std::nullopt;
        if (slot == 1 && !deviceName(value)) return std::nullopt;
        if (slot == 1) route.device = value;
        if (slot >= 2) {
            const auto value32 = number(value);
            if (!value32 || (slot == 3 && *value32 > 255)) return std::nullopt;
            (slot == 2 ? route.metric : route.protocol) = *value32;
        }
    }
    if (!route.gateway && route.device.empty()) return std::nullopt;
    return route;
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
    return route;
}

void rememberRoute(std::vector<DefaultRoute>& routes, const DefaultRoute& route) {
    if (std::find(routes.begin(), routes.end(), route) == routes.end()) routes.push_back(route);
}

}  // namespace routing
