#pragma once

// The system's side of router advertisements: a device's settings for them, as /proc/sys holds
// them, and the router solicitation that has the routers on a link advertise at once.

#include <optional>
#include <string>

#include "routing/kernel.h"

namespace routing::router_advertisements {

// The settings of the device named `device`; none when it has no IPv6 settings (it is gone,
// or IPv6 is off), or the name is not one a device can have.
std::optional<RouterAdvertisementSettings> readSettings(const std::string& device);

// Sends one router solicitation from the device with index `interface` to every router on its
// link; 0 or a negative errno.
int solicit(unsigned interface);

}  // namespace routing::router_advertisements
