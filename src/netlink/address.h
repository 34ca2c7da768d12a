#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

#include <array>
#include <compare>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace netlink {

// "IPv6" or "IPv4", as log messages name a family.
inline const char* familyName(int family) {
    return family == AF_INET6 ? "IPv6" : "IPv4";
}

// An IPv4 or IPv6 address in network byte order.
struct Address {
    int family = AF_UNSPEC;
    std::array<unsigned char, 16> bytes{};

    // The address a text denotes in `family`, or none when the text is not one. Client texts
    // are checked with this before they reach any command. A NUL would end the text early for
    // inet_pton, and every later reader of the text, so it is not one.
    static std::optional<Address> parse(std::string_view text, int family) {
        if (text.size() >= INET6_ADDRSTRLEN || text.find('\0') != std::string_view::npos)
            return std::nullopt;
        const std::string copy(text);
        Address address;
        address.family = family;
        if (inet_pton(family, copy.c_str(), address.bytes.data()) != 1) return std::nullopt;
        return address;
    }
    // An IPv4 address, else an IPv6 one; none when the text is neither.
    static std::optional<Address> parseAny(std::string_view text) {
        if (auto address = parse(text, AF_INET)) return address;
        return parse(text, AF_INET6);
    }
    static Address fromBytes(int family, const void* data) {
        Address address;
        address.family = family;
        std::memcpy(address.bytes.data(), data, size(family));
        return address;
    }
    static std::size_t size(int family) { return family == AF_INET6 ? 16 : 4; }

    std::string text() const {
        std::array<char, INET6_ADDRSTRLEN> buffer{};
        inet_ntop(family, bytes.data(), buffer.data(), buffer.size());
        return buffer.data();
    }
    bool isLinkLocal6() const {
        return family == AF_INET6 && bytes[0] == 0xfe && (bytes[1] & 0xc0) == 0x80;
    }
    auto operator<=>(const Address&) const = default;
};

}  // namespace netlink
