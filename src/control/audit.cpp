#include "control/audit.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <span>

#include "netlink/bytes.h"
#include "util/unique_fd.h"

namespace control {
namespace {

// The reply's socket, with the control group of its maker where the kernel adds it (since
// Linux 5.9).
std::optional<SocketEntry> parseReply(std::span<const std::byte> reply) {
    using netlink::load;
    if (reply.size() < sizeof(nlmsghdr)) {
        errno = EPROTO;
        return std::nullopt;
    }
    const auto header = load<nlmsghdr>(reply, 0);
    if (header.nlmsg_type == NLMSG_ERROR && reply.size() >= NLMSG_LENGTH(sizeof(int))) {
        const int error = load<int>(reply, NLMSG_HDRLEN);
        errno = error < 0 && error > -4096 ? -error : EPROTO;
        return std::nullopt;
    }
    reply = reply.first(std::min<std::size_t>(header.nlmsg_len, reply.size()));
    if (header.nlmsg_type != SOCK_DIAG_BY_FAMILY ||
        reply.size() < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
        errno = EPROTO;
        return std::nullopt;
    }
    const auto message = load<inet_diag_msg>(reply, NLMSG_HDRLEN);
    SocketEntry entry{message.idiag_uid, message.idiag_inode, std::nullopt};
    netlink::forEachAttribute(
        reply.subspan(NLMSG_LENGTH(sizeof(inet_diag_msg))),
        [&](std::uint16_t type, std::span<const std::byte> payload) {
            if (type == INET_DIAG_CGROUP_ID && payload.size() == sizeof(std::uint64_t)) {
                entry.cgroup = load<std::uint64_t>(payload, 0);
            }
        });
    return entry;
}

}  // namespace

std::optional<SocketEntry> connectionEnd(int connection, End end) {
    sockaddr_in local{}, peer{};
    socklen_t localLength = sizeof local, peerLength = sizeof peer;
    if (::getsockname(connection, reinterpret_cast<sockaddr*>(&local), &localLength) != 0 ||
        ::getpeername(connection, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) {
        return std::nullopt;
    }
    if (local.sin_family != AF_INET || peer.sin_family != AF_INET) {
        errno = EAFNOSUPPORT;
        return std::nullopt;
    }
    util::unique_fd socket(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!socket) return std::nullopt;

    // The client's socket is the one whose source is our peer and whose destination is us.
    const sockaddr_in& source = end == End::Client ? peer : local;
    const sockaddr_in& destination = end == End::Client ? local : peer;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } query{};
    query.header.nlmsg_len = sizeof query;
    query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    query.header.nlmsg_flags = NLM_F_REQUEST;
    query.request.sdiag_family = AF_INET;
    query.request.sdiag_protocol = IPPROTO_TCP;
    query.request.idiag_states = ~0u;
    query.request.id.idiag_sport = source.sin_port;
    query.request.id.idiag_dport = destination.sin_port;
    query.request.id.idiag_src[0] = source.sin_addr.s_addr;
    query.request.id.idiag_dst[0] = destination.sin_addr.s_addr;
    query.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    query.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    if (::send(socket.get(), &query, sizeof query, 0) < 0) return std::nullopt;

    std::array<std::byte, 8192> reply{};
    const ssize_t count = ::recv(socket.get(), reply.data(), reply.size(), 0);
    if (count < 0) return std::nullopt;
    return parseReply(std::span(reply).first(static_cast<std::size_t>(count)));
}

}  // namespace control
