// The system's side of the resolved client: sd-bus on the system bus, and the kernel's route
// lookup for the link that carries the tunnel's DNS server.

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <systemd/sd-bus.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <variant>
#include <vector>

#include "core/paths.h"
#include "dns/resolved.h"
#include "netlink/socket.h"
#include "util/unique_fd.h"

namespace dns::resolved {
namespace {

using BusPtr = std::unique_ptr<sd_bus, decltype(&sd_bus_flush_close_unref)>;
using MessagePtr = std::unique_ptr<sd_bus_message, decltype(&sd_bus_message_unref)>;

// Owns what a failed call left in an sd_bus_error.
struct ErrorHolder {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ErrorHolder() = default;
    ErrorHolder(const ErrorHolder&) = delete;
    ErrorHolder& operator=(const ErrorHolder&) = delete;
    ~ErrorHolder() { sd_bus_error_free(&error); }
};

constexpr const char* resolve1 = "org.freedesktop.resolve1";
// resolved answers at once; a bus that does not must not hold the connection handlers long.
constexpr std::uint64_t callTimeoutUsec = 5'000'000;

// The daemon reads no environment, so the bus address is the system bus socket's path rather
// than whatever DBUS_SYSTEM_BUS_ADDRESS says.
BusPtr openSystemBus() {
    sd_bus* raw = nullptr;
    if (sd_bus_new(&raw) < 0) return BusPtr(nullptr, sd_bus_flush_close_unref);
    BusPtr bus(raw, sd_bus_flush_close_unref);
    const std::string address = "unix:path=" + core::paths().systemBusSocket;
    if (sd_bus_set_address(bus.get(), address.c_str()) < 0 ||
        sd_bus_set_bus_client(bus.get(), 1) < 0 || sd_bus_start(bus.get()) < 0) {
        bus.reset();
    }
    return bus;
}

bool resolvedHasOwner(sd_bus* bus) {
    ErrorHolder error;
    sd_bus_message* raw = nullptr;
    int r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "NameHasOwner", &error.error, &raw, "s",
                               resolve1);
    const MessagePtr reply(raw, sd_bus_message_unref);
    int owned = 0;
    if (r >= 0) r = sd_bus_message_read(reply.get(), "b", &owned);
    return r >= 0 && owned != 0;
}

int appendServer(sd_bus_message* m, const SetLinkDns& c) {
    int r = sd_bus_message_append(m, "i", c.ifindex);
    if (r >= 0) r = sd_bus_message_open_container(m, 'a', "(iay)");
    if (r >= 0) r = sd_bus_message_open_container(m, 'r', "iay");
    if (r >= 0) r = sd_bus_message_append(m, "i", c.server.family);
    if (r >= 0) {
        r = sd_bus_message_append_array(m, 'y', c.server.bytes.data(),
                                        netlink::Address::size(c.server.family));
    }
    if (r >= 0) r = sd_bus_message_close_container(m);
    if (r >= 0) r = sd_bus_message_close_container(m);
    return r;
}

template <typename... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <typename... F>
Overloaded(F...) -> Overloaded<F...>;

int appendArguments(sd_bus_message* m, const Call& call) {
    return std::visit(
        Overloaded{
            [m](const SetLinkDns& c) { return appendServer(m, c); },
            [m](const SetLinkDomains& c) {
                return sd_bus_message_append(m, "ia(sb)", c.ifindex, 1, c.domain.c_str(),
                                             static_cast<int>(c.routingOnly));
            },
            [m](const SetLinkDefaultRoute& c) {
                return sd_bus_message_append(m, "ib", c.ifindex, static_cast<int>(c.enable));
            },
            [m](const RevertLink& c) { return sd_bus_message_append(m, "i", c.ifindex); },
        },
        call);
}

std::optional<BusError> callManager(sd_bus* bus, const Call& call) {
    if (bus == nullptr) return BusError{"", "not connected to the system bus"};
    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_method_call(bus, &raw, resolve1, "/org/freedesktop/resolve1",
                                           "org.freedesktop.resolve1.Manager", methodName(call));
    const MessagePtr message(raw, sd_bus_message_unref);
    if (r >= 0) r = appendArguments(message.get(), call);
    ErrorHolder error;
    if (r >= 0) r = sd_bus_call(bus, message.get(), callTimeoutUsec, &error.error, nullptr);
    if (r >= 0) return std::nullopt;
    return BusError{error.error.name != nullptr ? error.error.name : "",
                    error.error.message != nullptr ? error.error.message : std::strerror(-r)};
}

std::optional<Link> routeLink(const netlink::Address& address) {
    const std::optional<unsigned> ifindex = netlink::routeInterface(address);
    if (!ifindex) return std::nullopt;
    util::unique_fd socket(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!socket) return std::nullopt;
    // Device ioctls work on any socket, the netlink one included, in its network namespace.
    ifreq device{};
    device.ifr_ifindex = static_cast<int>(*ifindex);
    if (::ioctl(socket.get(), SIOCGIFNAME, &device) != 0 ||
        ::ioctl(socket.get(), SIOCGIFHWADDR, &device) != 0) {
        return std::nullopt;
    }
    return Link{static_cast<int>(*ifindex), device.ifr_hwaddr.sa_family};
}

}  // namespace

Bus systemBus() {
    // A connection of its own for each operation, held until the next one: the operations are
    // rare, and a bus that restarted in between then needs no reconnecting.
    auto connection = std::make_shared<BusPtr>(nullptr, sd_bus_flush_close_unref);
    return Bus{
        .connect =
            [connection] {
                *connection = openSystemBus();
                if (*connection && resolvedHasOwner(connection->get())) return true;
                connection->reset();
                return false;
            },
        .routeLink = routeLink,
        .call = [connection](const Call& call) { return callManager(connection->get(), call); },
    };
}

}  // namespace dns::resolved
