#include "routing/router_advertisements.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <charconv>

#include "util/io.h"
#include "util/unique_fd.h"

namespace routing::router_advertisements {
namespace {

// One number of the device's IPv6 settings.
std::optional<int> readSetting(const std::string& device, const char* name) {
    const std::string path = "/proc/sys/net/ipv6/conf/" + device + "/" + name;
    util::unique_fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    std::string text;
    if (!file || !util::readAll(file.get(), text, 64)) return std::nullopt;
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end == text.data()) return std::nullopt;
    return value;
}

}  // namespace

std::optional<RouterAdvertisementSettings> readSettings(const std::string& device) {
    // A name with a slash, or "." and "..", would lead elsewhere in /proc/sys.
    if (device.empty() || device.size() >= IF_NAMESIZE || device.find('/') != std::string::npos ||
        device == "." || device == "..") {
        return std::nullopt;
    }
    const auto acceptRa = readSetting(device, "accept_ra");
    const auto forwarding = readSetting(device, "forwarding");
    const auto acceptDefaultRouter = readSetting(device, "accept_ra_defrtr");
    if (!acceptRa || !forwarding || !acceptDefaultRouter) return std::nullopt;
    return RouterAdvertisementSettings{*acceptRa, *forwarding, *acceptDefaultRouter};
}

int solicit(unsigned interface) {
    util::unique_fd socket(::socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMPV6));
    if (!socket) return -errno;
    // Routers take only solicitations that no router forwarded: hop limit 255. The kernel
    // picks the device's link-local source address and computes the checksum.
    const int hops = 255;
    const int index = static_cast<int>(interface);
    if (::setsockopt(socket.get(), IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &hops, sizeof hops) != 0 ||
        ::setsockopt(socket.get(), IPPROTO_IPV6, IPV6_MULTICAST_IF, &index, sizeof index) != 0) {
        return -errno;
    }
    nd_router_solicit message{};
    message.nd_rs_type = ND_ROUTER_SOLICIT;
    sockaddr_in6 routers{};
    routers.sin6_family = AF_INET6;
    routers.sin6_scope_id = interface;
    ::inet_pton(AF_INET6, "ff02::2", &routers.sin6_addr);
    if (::sendto(socket.get(), &message, sizeof message, 0,
                 reinterpret_cast<const sockaddr*>(&routers), sizeof routers) < 0) {
        return -errno;
    }
    return 0;
}

}  // namespace routing::router_advertisements
