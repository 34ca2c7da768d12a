#pragma once

#include <cstdint>

namespace core {

// The socket mark of the OpenVPN the daemon launches (its "--mark"). The egress guard exempts
// the VPN server only for packets that carry it, and a policy rule sends them to the main
// table, where the server's host route is; no other program's traffic to the server's address
// is exempt. Chosen clear of the bits container and cluster network software commonly takes
// (0x4000, 0x8000, 0xff0000, 0xffff0000). Documented in telvord(8).
inline constexpr std::uint32_t openVpnMark = 0x2e1d;

}  // namespace core
