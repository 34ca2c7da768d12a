#include "desktop/network_manager.h"

#include <algorithm>
#include <string>
#include <vector>

#include "core/log.h"
#include "util/no_destructor.h"

namespace desktop::network_manager {
namespace {

using core::levelDebug;
using core::levelError;
using core::levelInfo;
using core::logMessage;

// The error NetworkManager answers for an interface it has no device of.
constexpr std::string_view unknownDevice = "org.freedesktop.NetworkManager.UnknownDevice";

// The devices taken from NetworkManager, by interface name: NetworkManager gives a device a
// new object each time it sees it appear, and after its own restart.
std::vector<std::string>& taken() {
    static util::NoDestructor<std::vector<std::string>> names;
    return names.get();
}

std::function<void(const std::vector<std::string>&)>& recorder() {
    static util::NoDestructor<std::function<void(const std::vector<std::string>&)>> record;
    return record.get();
}

void record() {
    if (recorder()) recorder()(taken());
}

// As many tunnel devices as a host has; what the state file records stays small.
constexpr std::size_t maxTaken = 16;

void logRefusal(const char* what, const std::string& interface, const BusError& error) {
    logMessage(levelError, "NetworkManager refused to %s %s: %s (%s)", what, interface.c_str(),
               error.message.c_str(), error.name.c_str());
}

}  // namespace

Bus& bus() {
    static util::NoDestructor<Bus> instance(systemBus());
    return instance.get();
}

void Unmanage(const std::string& interface) {
    if (!bus().connect()) {
        logMessage(levelDebug, "NetworkManager is not running: the tunnel device is left alone");
        return;
    }
    const auto found = bus().device(interface);
    if (const auto* error = std::get_if<BusError>(&found)) {
        if (error->name != unknownDevice) logRefusal("look up", interface, *error);
        logMessage(levelInfo, "NetworkManager does not know %s: nothing to take from it",
                   interface.c_str());
        return;
    }
    const Device& device = std::get<Device>(found);
    if (!device.managed) {
        logMessage(levelInfo, "NetworkManager does not manage %s: it leaves it alone already",
                   interface.c_str());
        return;
    }
    // Recorded before it is taken: a restart gives back what a kill left taken.
    const bool known = std::ranges::find(taken(), interface) != taken().end();
    if (!known && taken().size() >= maxTaken) {
        logMessage(levelError, "Leaving %s to NetworkManager: %zu devices are taken already",
                   interface.c_str(), taken().size());
        return;
    }
    if (!known) {
        taken().push_back(interface);
        record();
    }
    if (const std::optional<BusError> error = bus().setManaged(device.path, false)) {
        logRefusal("unmanage", interface, *error);
        if (!known) {
            taken().pop_back();
            record();
        }
        return;
    }
    logMessage(levelInfo, "NetworkManager leaves %s alone while the connection lasts",
               interface.c_str());
}

void GiveBack() {
    if (taken().empty()) return;
    const std::vector<std::string> names = taken();
    // Forgotten once every call was made: a kill before leaves them to the next start.
    const struct Forget {
        ~Forget() {
            taken().clear();
            record();
        }
    } forget;
    if (!bus().connect()) {
        logMessage(levelDebug, "NetworkManager is not running: nothing to give back");
        return;
    }
    for (const std::string& interface : names) {
        const auto found = bus().device(interface);
        if (const auto* error = std::get_if<BusError>(&found)) {
            // The tunnel device went with OpenVPN, and NetworkManager forgot it with it.
            if (error->name != unknownDevice) logRefusal("look up", interface, *error);
            logMessage(levelDebug, "%s is gone: nothing to give back to NetworkManager",
                       interface.c_str());
            continue;
        }
        if (const std::optional<BusError> error =
                bus().setManaged(std::get<Device>(found).path, true)) {
            logRefusal("manage", interface, *error);
            continue;
        }
        logMessage(levelInfo, "Gave %s back to NetworkManager", interface.c_str());
    }
}

void GiveBackAfterRestart(const std::vector<std::string>& devices) {
    for (const std::string& device : devices) {
        if (taken().size() < maxTaken && std::ranges::find(taken(), device) == taken().end())
            taken().push_back(device);
    }
    if (!taken().empty())
        logMessage(levelInfo, "Giving back to NetworkManager what an earlier run took");
    GiveBack();
}

void SetUnmanagedRecorder(std::function<void(const std::vector<std::string>&)> record) {
    recorder() = std::move(record);
}

}  // namespace desktop::network_manager
