#pragma once

// The LAN behind the uplink, run as a hostile network would run it, with the real DHCP and router
// software. The namespace "far" holds veth1, the far side of the uplink, with the gateways'
// addresses (192.0.2.1, fe80::1) and the LAN's own 2001:db8::1, and on its loopback the addresses
// on the internet that the benchmarks send to (203.0.113.1, 2001:db8:ffff::1); it answers ARP and
// neighbour solicitations for all of them. The namespace "guest" stands behind the host, as a
// container or virtual machine does: ct1 (198.51.100.66/26) in it, ct0 (198.51.100.65/26) on the
// host, and a default route through the host.

#include <cstdint>
#include <string>
#include <vector>

#include "fixture.h"
#include "util/unique_fd.h"

namespace bench {

class Lan {
  public:
    // Moves veth1 (in the program's namespace until now) into "far". /run must be a mount of the
    // program's own.
    Lan();
    const NetNamespace& guest() const { return guest_; }
    // A packet socket on veth1 inside "far": whatever the host lets out, on any protocol.
    util::unique_fd openFarSide() const;
    // Runs `words` inside "far".
    Child startInFar(std::vector<std::string> words, const std::string& log) const;
    // Whether a UDP socket inside "far" is bound to `port`.
    bool boundInFar(std::uint16_t port) const;

  private:
    NetNamespace far_, guest_;
};

// A DHCP lease that pushes routes: dnsmasq in "far" hands out 192.0.2.20 for 120 s (the shortest
// lease it gives) with `prefixes` as classless static routes via 192.0.2.1 (option 121), and
// dhcpcd takes it on veth0, hooks off, writing only to the program's own mounts. Once made, the
// routes stand in the main table; dhcpcd removes them when it ends.
class PushedRoutes {
  public:
    PushedRoutes(const Lan& lan, const std::vector<std::string>& prefixes);
    PushedRoutes(const PushedRoutes&) = delete;
    PushedRoutes& operator=(const PushedRoutes&) = delete;
    ~PushedRoutes();

  private:
    Child server_, client_;
};

// radvd in "far" advertises 2001:db8:ffff::/48 in a route information option, as a router that is
// no default router; once made, the kernel's route stands (accept_ra_rt_info_max_plen allows it
// on veth0). The route is withdrawn when radvd ends.
class AdvertisedRoute {
  public:
    explicit AdvertisedRoute(const Lan& lan);
    AdvertisedRoute(const AdvertisedRoute&) = delete;
    AdvertisedRoute& operator=(const AdvertisedRoute&) = delete;
    ~AdvertisedRoute();

  private:
    Child router_;
};

// Forwarding on, and the guest's traffic masqueraded out of the uplink by a table of the
// program's own, as container and virtual machine hosts do.
class Masquerade {
  public:
    Masquerade();
    Masquerade(const Masquerade&) = delete;
    Masquerade& operator=(const Masquerade&) = delete;
    ~Masquerade();
};

}  // namespace bench
