#include "netlink/socket.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "netlink/bytes.h"

namespace netlink {

int exchange(int protocol, std::span<const std::byte> request, const Visit& visit) {
    util::unique_fd socket(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, protocol));
    if (!socket) return -errno;
    if (::send(socket.get(), request.data(), request.size(), 0) < 0) return -errno;
    std::vector<std::byte> buffer(64 * 1024);
    for (;;) {
        const ssize_t count = ::recv(socket.get(), buffer.data(), buffer.size(), 0);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return count < 0 ? -errno : -EPROTO;
        std::optional<int> end;
        forEachMessage(std::span(buffer).first(static_cast<std::size_t>(count)),
                       [&](std::uint16_t type, std::span<const std::byte> message) {
                           if (type == NLMSG_DONE) end = 0;
                           if (type == NLMSG_ERROR) end = errorCode(message);
                           if (!end && visit) visit(type, message);
                           return !end;
                       });
        if (end) return *end;
    }
}

Subscription subscribe(int protocol, std::initializer_list<unsigned> groups) {
    Subscription result;
    result.fd.reset(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, protocol));
    if (!result.fd) {
        result.failure = Subscription::Failure::Socket;
        result.error = errno;
        return result;
    }
    const int bufferSize = 1 << 20;
    if (::setsockopt(result.fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &bufferSize, sizeof bufferSize) !=
        0) {
        ::setsockopt(result.fd.get(), SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
    }
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    bool bound =
        ::bind(result.fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    // Groups are joined by number: the newer ones have no bit in the bind's 32-bit mask.
    for (const unsigned group : groups) {
        bound = bound && ::setsockopt(result.fd.get(), SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &group,
                                      sizeof group) == 0;
    }
    if (!bound) {
        result.failure = Subscription::Failure::Bind;
        result.error = errno;
        result.fd.reset();
    }
    return result;
}

std::optional<unsigned> routeInterface(const Address& address) {
    const std::size_t size = Address::size(address.family);
    rtmsg route{};
    route.rtm_family = static_cast<unsigned char>(address.family);
    route.rtm_dst_len = static_cast<unsigned char>(size * 8);
    Request request(RTM_GETROUTE, NLM_F_REQUEST | NLM_F_ACK, 0, route);
    request.attribute(RTA_DST, address.bytes.data(), size);
    std::optional<unsigned> interface;
    const int code = exchange(
        NETLINK_ROUTE, request.bytes(),
        [&](std::uint16_t type, std::span<const std::byte> message) {
            if (type != RTM_NEWROUTE || message.size() < routeAttributesStart) return;
            forEachAttribute(message.subspan(routeAttributesStart),
                             [&](std::uint16_t attribute, auto data) {
                                 if (attribute == RTA_OIF && data.size() == sizeof(std::uint32_t))
                                     interface = load<std::uint32_t>(data, 0);
                             });
        });
    if (code != 0 || interface == 0u) return std::nullopt;
    return interface;
}

std::optional<Device> device(unsigned index) {
    util::unique_fd socket(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!socket) return std::nullopt;
    // Device ioctls work on any socket, the netlink one included, in its network namespace.
    ifreq request{};
    request.ifr_ifindex = static_cast<int>(index);
    if (::ioctl(socket.get(), SIOCGIFNAME, &request) != 0) return std::nullopt;
    Device found{index, std::string(request.ifr_name, ::strnlen(request.ifr_name, IFNAMSIZ)), 0};
    if (::ioctl(socket.get(), SIOCGIFHWADDR, &request) != 0) return std::nullopt;
    found.type = request.ifr_hwaddr.sa_family;
    return found;
}

bool isTunnelType(unsigned short type) {
    return type == ARPHRD_NONE;
}

}  // namespace netlink
