#pragma once

// Walking netlink bytes as the kernel lays them out, without trusting them: every message
// and attribute is bounded by what remains, and fields are copied out rather than cast, so
// that neither length nor alignment of the bytes matters. rtnetlink and nf_tables lay out
// their attributes alike.

#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace netlink {

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

// One netlink request, laid out as the kernel reads it: a message header, a family header
// (rtmsg, fib_rule_hdr, nfgenmsg, ...) and attributes, each padded to four bytes.
class Request {
  public:
    template <typename Header>
    Request(std::uint16_t type, std::uint16_t flags, std::uint32_t sequence, const Header& header) {
        nlmsghdr message{};
        message.nlmsg_type = type;
        message.nlmsg_flags = flags;
        message.nlmsg_seq = sequence;
        append(&message, sizeof message);
        append(&header, sizeof header);
    }
    void attribute(std::uint16_t type, const void* data, std::size_t size) {
        rtattr header{};
        header.rta_len = static_cast<unsigned short>(RTA_LENGTH(size));
        header.rta_type = type;
        append(&header, sizeof header);
        append(data, size);
    }
    void attribute32(std::uint16_t type, std::uint32_t value) {
        attribute(type, &value, sizeof value);
    }
    // The finished message, its length field filled in.
    std::vector<std::byte> bytes() const {
        std::vector<std::byte> whole = bytes_;
        const auto length = static_cast<std::uint32_t>(whole.size());
        std::memcpy(whole.data(), &length, sizeof length);
        return whole;
    }

  private:
    void append(const void* data, std::size_t size) {
        const auto* begin = static_cast<const std::byte*>(data);
        bytes_.insert(bytes_.end(), begin, begin + size);
        bytes_.resize(NLMSG_ALIGN(bytes_.size()));
    }
    std::vector<std::byte> bytes_;
};

// Where the attributes of a message begin whose family header is a `Header` (rtmsg,
// ifaddrmsg, fib_rule_hdr, nfgenmsg).
template <typename Header>
inline constexpr std::size_t attributesStart = NLMSG_LENGTH(sizeof(Header));
inline constexpr std::size_t routeAttributesStart = attributesStart<rtmsg>;

// The error code of an NLMSG_ERROR message: 0 for an acknowledgement, else a negative errno.
inline int errorCode(std::span<const std::byte> message) {
    return message.size() >= NLMSG_HDRLEN + sizeof(int) ? load<int>(message, NLMSG_HDRLEN)
                                                        : -EPROTO;
}

}  // namespace netlink
