// The system's side of the resolved client: sd-bus on the system bus, and the kernel's route
// lookup for the link that carries the tunnel's DNS server.

#include <systemd/sd-bus.h>

#include <cstdint>
#include <memory>
#include <variant>

#include "core/paths.h"
#include "dns/resolved.h"
#include "netlink/socket.h"
#include "util/system_bus.h"

namespace dns::resolved {
namespace {

using util::BusErrorHolder;
using util::BusMessagePtr;

constexpr const char* resolve1 = "org.freedesktop.resolve1";

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
    const BusMessagePtr message(raw, sd_bus_message_unref);
    if (r >= 0) r = appendArguments(message.get(), call);
    BusErrorHolder error;
    if (r >= 0)
        r = sd_bus_call(bus, message.get(), util::busCallTimeoutUsec, &error.error, nullptr);
    if (r >= 0) return std::nullopt;
    return BusError{error.name(), error.message(r)};
}

}  // namespace

Bus systemBus() {
    const util::ServiceConnection connection(resolve1);
    return Bus{
        .connect = [connection] { return connection.connect(core::paths().systemBusSocket); },
        .call = [connection](const Call& call) { return callManager(connection.get(), call); },
    };
}

}  // namespace dns::resolved
