#pragma once

// The tunnel device kept out of NetworkManager's hands while a connection lasts. NetworkManager
// counts a tun device that OpenVPN made as configured outside it, and deconfigures it when it
// goes to sleep ("nmcli networking off", a suspend): the tunnel's addresses and every route
// into it go. A device whose Managed property is false NetworkManager leaves as it is, across
// sleep and resume, reapplies and its own restarts; the property is given its earlier value
// back when the connection closes. Where NetworkManager does not run, nothing is done.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace desktop::network_manager {

// A D-Bus error that a call returned.
struct BusError {
    std::string name, message;
};

// A device as NetworkManager knows it.
struct Device {
    std::string path;  // its object on the bus
    bool managed = false;
};

// What the client asks of the outside world. The daemon uses the system bus and the kernel's
// routing table; unit tests put recorders in their place.
struct Bus {
    // Connects to the system bus afresh; whether org.freedesktop.NetworkManager has an owner
    // there.
    std::function<bool()> connect;
    // NetworkManager's device of that interface name, on the connection `connect` made; the
    // error when it has none.
    std::function<std::variant<Device, BusError>(const std::string& interface)> device;
    // Sets the Managed property of the device object at `path`; the error, if it failed.
    std::function<std::optional<BusError>(const std::string& path, bool managed)> setManaged;
};

// The bus the operations use; the system's unless a test replaced it.
Bus& bus();
Bus systemBus();

// Takes the tunnel's device of that name away from NetworkManager, when NetworkManager runs
// and manages it. A device of a name taken before is looked at again: OpenVPN may have made it
// anew since.
void Unmanage(const std::string& interface);
// Gives every device taken back to NetworkManager, as managed as it was, where it still
// exists; then forgets them.
void GiveBack();
// Gives back the devices an earlier run took and recorded, which its end left taken.
void GiveBackAfterRestart(const std::vector<std::string>& devices);
// Where the devices taken are recorded, before each is taken and once they are given back,
// so that a restart gives back what a kill left taken.
void SetUnmanagedRecorder(std::function<void(const std::vector<std::string>&)> record);

// The connection handlers call these under the state lock (see modes/modes.h), which guards
// the devices taken.

}  // namespace desktop::network_manager
