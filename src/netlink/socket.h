#pragma once

// Exchanges with the kernel over netlink sockets of any protocol: a request and its answer,
// and sockets that receive notifications. The bytes are read with netlink/bytes.h; what the
// messages mean is for the subsystem that asked.

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>

#include "netlink/address.h"
#include "util/unique_fd.h"

namespace netlink {

// Called for every message of the answer but the one that ends it.
using Visit = std::function<void(std::uint16_t type, std::span<const std::byte> message)>;

// Sends `request` on a new socket of `protocol` and reads the answer until it ends: a done
// message (a dump), or an error message (an acknowledgement, or a failure). Returns 0, or a
// negative errno: the kernel's, or the one of a call that failed.
int exchange(int protocol, std::span<const std::byte> request, const Visit& visit = {});

// A socket that receives notifications, or the call that failed to make it.
struct Subscription {
    enum class Failure { None, Socket, Bind };
    Failure failure = Failure::None;
    int error = 0;  // errno of the failed call
    util::unique_fd fd;
};

// A socket of `protocol` that receives the notifications of `groups` (numbers, not masks),
// with room for ordinary bursts; beyond that a receive fails with ENOBUFS.
Subscription subscribe(int protocol, std::initializer_list<unsigned> groups);

// The index of the interface the kernel routes `address` through ("ip route get"), policy
// rules included; none without a route.
std::optional<unsigned> routeInterface(const Address& address);

// A network device as the kernel names it.
struct Device {
    unsigned index = 0;
    std::string name;
    unsigned short type = 0;  // ARPHRD_*
};
// The device with index `index`; none when there is none.
std::optional<Device> device(unsigned index);

// OpenVPN's tun devices, with or without data channel offload, carry bare IP packets and have
// no hardware header: ARPHRD_NONE, a type no Ethernet, Wi-Fi or PPP uplink has. A tunnel in
// tap mode looks like Ethernet and is not taken for one.
bool isTunnelType(unsigned short type);

}  // namespace netlink
