#pragma once

// The ports OpenVPN would bind on the host. Root may bind ports below 1024, where the host's
// own services (DNS on 53, SSH on 22) live, so an OpenVPN started for a user may not.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "control/openvpn_config.h"

namespace control {

// The port OpenVPN uses for the word `text`: OpenVPN hands it to getaddrinfo as the service,
// which reads any run of digits (with a sign, blanks before it, leading zeros) and keeps only
// its low 16 bits, so that "65589" is port 53. Only digits that name a number from 1 to 65535
// read the same both ways; anything else, names of services included, gives none.
std::optional<unsigned> portNumber(std::string_view text);

// How one connection of OpenVPN's uses its socket.
enum class Protocol { Udp, TcpClient, TcpServer };
// The protocol a word of "proto", or the third word of "remote", names as OpenVPN reads it;
// none for a word it does not take. A bare "tcp" is a client: only a server configuration,
// which no client may give, makes it a server.
std::optional<Protocol> protocolNamed(std::string_view word);

struct PortRefusal {
    std::string option;  // the option that names the port
    std::string reason;
};

// The first port below 1024, or named so that it cannot be told, that OpenVPN would bind or
// listen on with `options`, given in the order OpenVPN reads them (configurations in the place
// where they are named, <connection> blocks as blocks). Every connection OpenVPN may make is
// judged with the protocol it will use: a <connection> block from the options before it and
// its own, a "remote" with a protocol of its own from the options outside blocks and that
// protocol, and the options outside blocks by themselves. None when it would use none.
std::optional<PortRefusal> privilegedPort(const std::vector<Directive>& options);

}  // namespace control
