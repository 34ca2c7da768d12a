#include "control/audit.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "core/log.h"
#include "util/unique_fd.h"

namespace control {

std::optional<uid_t> clientSocketOwner(int connection) {
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
    query.request.id.idiag_sport = peer.sin_port;
    query.request.id.idiag_dport = local.sin_port;
    query.request.id.idiag_src[0] = peer.sin_addr.s_addr;
    query.request.id.idiag_dst[0] = local.sin_addr.s_addr;
    query.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    query.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    if (::send(socket.get(), &query, sizeof query, 0) < 0) return std::nullopt;

    std::array<std::byte, 8192> reply{};
    const ssize_t count = ::recv(socket.get(), reply.data(), reply.size(), 0);
    if (count < static_cast<ssize_t>(sizeof(nlmsghdr))) return std::nullopt;
    nlmsghdr header{};
    std::memcpy(&header, reply.data(), sizeof header);
    if (header.nlmsg_type == NLMSG_ERROR &&
        static_cast<std::size_t>(count) >= NLMSG_LENGTH(sizeof(int))) {
        int error = 0;
        std::memcpy(&error, reply.data() + NLMSG_HDRLEN, sizeof error);
        errno = -error;
        return std::nullopt;
    }
    if (header.nlmsg_type != SOCK_DIAG_BY_FAMILY ||
        static_cast<std::size_t>(count) < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
        errno = EPROTO;
        return std::nullopt;
    }
    inet_diag_msg message{};
    std::memcpy(&message, reply.data() + NLMSG_HDRLEN, sizeof message);
    return message.idiag_uid;
}

void logClientOwner(int connection) {
    if (const std::optional<uid_t> owner = clientSocketOwner(connection)) {
        core::logMessage(core::levelInfo, "Client connection is owned by uid %u",
                         static_cast<unsigned>(*owner));
    } else {
        const int error = errno;
        core::logMessage(core::levelInfo, "Could not find the owner of the client connection: %s",
                         std::strerror(error));
    }
}

}  // namespace control
