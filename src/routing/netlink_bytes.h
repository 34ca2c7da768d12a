#pragma once

// Walking rtnetlink bytes as the kernel lays them out, without trusting them: every message
// and attribute is bounded by what remains, and fields are copied out rather than cast, so
// that neither length nor alignment of the bytes matters.

#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace routing::netlink {

// The T stored at `offset`; the caller has checked that it fits.
template <typename T>
T load(std::span<const std::byte> bytes, std::size_t offset) {
    T value{};
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

// Calls `visit(type, message)` for every whole message of a datagram, each starting at the
// previous one's length rounded up to four bytes; stops at the first that does not fit, or
// when `visit` returns false.
template <typename Visit>
void forEachMessage(std::span<const std::byte> datagram, Visit visit) {
    while (datagram.size() >= sizeof(nlmsghdr)) {
        const auto length = load<std::uint32_t>(datagram, 0);
        if (length < sizeof(nlmsghdr) || length > datagram.size()) return;
        if (!visit(load<std::uint16_t>(datagram, 4), datagram.first(length))) return;
        datagram = datagram.subspan(std::min<std::size_t>(NLMSG_ALIGN(length), datagram.size()));
    }
}

// Calls `visit(type, payload)` for every whole attribute of an area; stops at the first that
// does not fit.
template <typename Visit>
void forEachAttribute(std::span<const std::byte> area, Visit visit) {
    while (area.size() >= sizeof(rtattr)) {
        const auto length = load<std::uint16_t>(area, 0);
        if (length < sizeof(rtattr) || length > area.size()) return;
        visit(load<std::uint16_t>(area, 2), area.subspan(sizeof(rtattr), length - sizeof(rtattr)));
        area = area.subspan(std::min<std::size_t>(RTA_ALIGN(length), area.size()));
    }
}

// Where the attributes of a route message begin.
inline constexpr std::size_t routeAttributesStart = NLMSG_LENGTH(sizeof(rtmsg));

}  // namespace routing::netlink
