#pragma once

// The LAN behind the uplink, run as a hostile network would run it, with the real DHCP and router
// software. The namespace "far" holds veth1, the far side of the uplink, with the gateways'
// addresses (192.0.2.1, fe80::1), the LAN's own 2001:db8::1, and the private LAN beside them on
// the same link (10.8.1.1/24, and its DNS server 10.8.1.53); on its loopback it holds the
// addresses on the internet that the benchmarks send to (203.0.113.1, 2001:db8:ffff::1), and it
// answers ARP and neighbour solicitations for all of them. It routes the tunnel's own addresses
// (10.8.0.2, fd42::2) to the host, as a LAN that probes them does. The namespace "guest" stands
// behind the host, as a container or virtual machine does: ct1 (198.51.100.66/26,
// 2001:db8:1::66/64) in it, ct0 (198.51.100.65/26, 2001:db8:1::65/64) on the host, and default
// routes through the host.

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
    const NetNamespace& far() const { return far_; }
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

// What the LAN's DHCP server hands out: an address in a /24, whose router is the .1 of that
// /24, and classless static routes via 192.0.2.1 (option 121).
struct Lease {
    std::string address = "192.0.2.20";
    std::vector<std::string> routes{};
};

// dnsmasq in "far" hands out `lease` for 120 s (the shortest lease it gives) and dhcpcd takes it
// on veth0, hooks off, writing only to the program's own mounts. Once made, the address, its
// on-link route and the pushed routes stand in the main table; dhcpcd removes them when it ends.
// A lease from another prefix than the uplink's 192.0.2.0/24 gives veth1 in "far" the router's
// address while it lasts, as the LAN's DHCP server holds it.
class DhcpLease {
  public:
    DhcpLease(const Lan& lan, const Lease& lease);
    DhcpLease(const DhcpLease&) = delete;
    DhcpLease& operator=(const DhcpLease&) = delete;
    ~DhcpLease();

  private:
    const Lan& lan_;
    std::string router_;  // "far"'s address of it, "ADDRESS/24", when it had to be added
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

// Forwarding on for both families, and the guest's traffic masqueraded out of the uplink by a
// table of the program's own, as container and virtual machine hosts do.
class Masquerade {
  public:
    Masquerade();
    Masquerade(const Masquerade&) = delete;
    Masquerade& operator=(const Masquerade&) = delete;
    ~Masquerade();
};

}  // namespace bench
