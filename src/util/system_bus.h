#pragma once

// The system bus as the daemon's clients of other services reach it: a connection of their
// own per operation, owned, and the errors a call leaves, owned too.

#include <systemd/sd-bus.h>

#include <cstdint>
#include <memory>
#include <string>

namespace util {

using BusPtr = std::unique_ptr<sd_bus, decltype(&sd_bus_flush_close_unref)>;
using BusMessagePtr = std::unique_ptr<sd_bus_message, decltype(&sd_bus_message_unref)>;

// Owns what a failed call left in an sd_bus_error.
struct BusErrorHolder {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    BusErrorHolder() = default;
    BusErrorHolder(const BusErrorHolder&) = delete;
    BusErrorHolder& operator=(const BusErrorHolder&) = delete;
    ~BusErrorHolder() { sd_bus_error_free(&error); }
    // The error's D-Bus name, or "" when the call failed before the bus answered.
    std::string name() const { return error.name != nullptr ? error.name : ""; }
    // Its message, or the text of `code` (a negative errno) when it has none.
    std::string message(int code) const;
};

// How long a call to another service may hold up the daemon: they answer at once, and one that
// does not must not keep every handler and status: waiting.
inline constexpr std::uint64_t busCallTimeoutUsec = 1'000'000;

// A new connection to the system bus listening at `socketPath`, when the service that goes by
// `name` has an owner there, with `timeoutUsec` for each method call and for the connection's
// own start, the question whether `name` has an owner included; empty when there is no bus or
// no such service, or when either did not answer in time. The callers run under the state
// lock, which every handler waits for: keep it short. The daemon reads no environment, so
// DBUS_SYSTEM_BUS_ADDRESS is not looked at.
BusPtr connectToService(const std::string& socketPath, const char* name, std::uint64_t timeoutUsec);

// A client's connection to one service, made afresh for each operation and held until the next:
// the operations are rare, and a service or a bus that restarted in between then needs no
// reconnecting. Copies share the connection, so that each of a client's function objects can
// hold one.
class ServiceConnection {
  public:
    explicit ServiceConnection(const char* service) : service_(service) {}
    // Connects afresh to the bus listening at `socketPath`; whether the service has an owner
    // there.
    bool connect(const std::string& socketPath) const {
        *bus_ = connectToService(socketPath, service_, busCallTimeoutUsec);
        return *bus_ != nullptr;
    }
    // The connection the latest connect() made; null when it failed.
    sd_bus* get() const { return bus_->get(); }

  private:
    const char* service_;
    std::shared_ptr<BusPtr> bus_ = std::make_shared<BusPtr>(nullptr, sd_bus_flush_close_unref);
};

}  // namespace util
