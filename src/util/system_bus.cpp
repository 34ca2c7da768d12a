#include "util/system_bus.h"

#include <cstring>

namespace util {

std::string BusErrorHolder::message(int code) const {
    return error.message != nullptr ? error.message : std::strerror(-code);
}

namespace {

BusPtr openSystemBus(const std::string& socketPath) {
    sd_bus* raw = nullptr;
    if (sd_bus_new(&raw) < 0) return BusPtr(nullptr, sd_bus_flush_close_unref);
    BusPtr bus(raw, sd_bus_flush_close_unref);
    const std::string address = "unix:path=" + socketPath;
    if (sd_bus_set_address(bus.get(), address.c_str()) < 0 ||
        sd_bus_set_bus_client(bus.get(), 1) < 0 || sd_bus_start(bus.get()) < 0) {
        bus.reset();
    }
    return bus;
}

bool nameHasOwner(sd_bus* bus, const char* name) {
    BusErrorHolder error;
    sd_bus_message* raw = nullptr;
    int r =
        sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "NameHasOwner", &error.error, &raw, "s", name);
    const BusMessagePtr reply(raw, sd_bus_message_unref);
    int owned = 0;
    if (r >= 0) r = sd_bus_message_read(reply.get(), "b", &owned);
    return r >= 0 && owned != 0;
}

}  // namespace

BusPtr connectToService(const std::string& socketPath, const char* name,
                        std::uint64_t timeoutUsec) {
    BusPtr bus = openSystemBus(socketPath);
    if (bus && (!nameHasOwner(bus.get(), name) ||
                sd_bus_set_method_call_timeout(bus.get(), timeoutUsec) < 0)) {
        bus.reset();
    }
    return bus;
}

}  // namespace util
