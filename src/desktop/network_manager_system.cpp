// The system's side of the NetworkManager client: sd-bus on the system bus, and the kernel's
// route lookup for the device that carries the tunnel gateway.

#include <systemd/sd-bus.h>

#include <cstdint>
#include <memory>

#include "core/paths.h"
#include "desktop/network_manager.h"
#include "util/system_bus.h"

namespace desktop::network_manager {
namespace {

using util::BusErrorHolder;
using util::BusMessagePtr;

constexpr const char* service = "org.freedesktop.NetworkManager";
constexpr const char* deviceInterface = "org.freedesktop.NetworkManager.Device";

std::variant<Device, BusError> findDevice(sd_bus* bus, const std::string& interface) {
    if (bus == nullptr) return BusError{"", "not connected to the system bus"};
    BusErrorHolder error;
    sd_bus_message* raw = nullptr;
    int r = sd_bus_call_method(bus, service, "/org/freedesktop/NetworkManager", service,
                               "GetDeviceByIpIface", &error.error, &raw, "s", interface.c_str());
    const BusMessagePtr reply(raw, sd_bus_message_unref);
    const char* path = nullptr;
    if (r >= 0) r = sd_bus_message_read(reply.get(), "o", &path);
    int managed = 0;
    if (r >= 0) {
        r = sd_bus_get_property_trivial(bus, service, path, deviceInterface, "Managed",
                                        &error.error, 'b', &managed);
    }
    if (r < 0) return BusError{error.name(), error.message(r)};
    return Device{path, managed != 0};
}

std::optional<BusError> writeManaged(sd_bus* bus, const std::string& path, bool managed) {
    if (bus == nullptr) return BusError{"", "not connected to the system bus"};
    BusErrorHolder error;
    const int r = sd_bus_set_property(bus, service, path.c_str(), deviceInterface, "Managed",
                                      &error.error, "b", static_cast<int>(managed));
    if (r >= 0) return std::nullopt;
    return BusError{error.name(), error.message(r)};
}

}  // namespace

Bus systemBus() {
    const util::ServiceConnection connection(service);
    return Bus{
        .connect = [connection] { return connection.connect(core::paths().systemBusSocket); },
        .device =
            [connection](const std::string& interface) {
                return findDevice(connection.get(), interface);
            },
        .setManaged = [connection](
                          const std::string& path,
                          bool managed) { return writeManaged(connection.get(), path, managed); },
    };
}

}  // namespace desktop::network_manager
