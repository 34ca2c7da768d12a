#include "util/system_bus.h"

#include <chrono>
#include <cstring>

namespace util {

std::string BusErrorHolder::message(int code) const {
    return error.message != nullptr ? error.message : std::strerror(-code);
}

namespace {

// Closes a connection without flushing it, which would wait for a bus that never answered.
void closeAtOnce(BusPtr& bus) {
    sd_bus_close_unref(bus.release());
}

// Waits until the bus has authenticated and said Hello, for `timeoutUsec` at most: sd-bus
// itself would wait for that as long as 25 s before the first call.
bool ready(sd_bus* bus, std::uint64_t timeoutUsec) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(timeoutUsec);
    for (;;) {
        if (sd_bus_is_ready(bus) > 0) return true;
        const int r = sd_bus_process(bus, nullptr);
        if (r < 0) return false;
        if (r > 0) continue;
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        if (sd_bus_wait(bus, static_cast<std::uint64_t>(left.count())) < 0) return false;
    }
}

// A connection to the bus at `socketPath` whose every method call waits `timeoutUsec` at most,
// the first ones included.
BusPtr openSystemBus(const std::string& socketPath, std::uint64_t timeoutUsec) {
    sd_bus* raw = nullptr;
    if (sd_bus_new(&raw) < 0) return BusPtr(nullptr, sd_bus_flush_close_unref);
    BusPtr bus(raw, sd_bus_flush_close_unref);
    const std::string address = "unix:path=" + socketPath;
    if (sd_bus_set_address(bus.get(), address.c_str()) < 0 ||
        sd_bus_set_bus_client(bus.get(), 1) < 0 ||
        sd_bus_set_method_call_timeout(bus.get(), timeoutUsec) < 0 || sd_bus_start(bus.get()) < 0 ||
        !ready(bus.get(), timeoutUsec)) {
        closeAtOnce(bus);
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
    BusPtr bus = openSystemBus(socketPath, timeoutUsec);
    if (bus && !nameHasOwner(bus.get(), name)) closeAtOnce(bus);
    return bus;
}

}  // namespace util
