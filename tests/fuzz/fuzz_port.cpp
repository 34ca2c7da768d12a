// The port reader against the reading that counts: OpenVPN hands every port word to
// getaddrinfo as the service, so what the reader takes for a port must be the port
// getaddrinfo gives, and every plain number from 1 to 65535 must be taken.

#include <netdb.h>
#include <sys/socket.h>

#include <arpa/inet.h>

#include <cstdint>
#include <string>

#include "control/openvpn_ports.h"
#include "fuzz_support.h"

namespace {

// The port getaddrinfo gives for `service` on a numeric host; none when it gives none. Only
// texts of digits reach it, which it reads without looking a name up.
std::optional<unsigned> addrinfoPort(const std::string& service) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* result = nullptr;
    if (::getaddrinfo("127.0.0.1", service.c_str(), &hints, &result) != 0) return std::nullopt;
    const auto* address = reinterpret_cast<const sockaddr_in*>(result->ai_addr);
    const unsigned port = ntohs(address->sin_port);
    ::freeaddrinfo(result);
    return port;
}

// The value of a text of at most nine digits, as arithmetic reads it.
std::optional<unsigned long> plainNumber(std::string_view text) {
    if (text.empty() || text.size() > 9) return std::nullopt;
    unsigned long value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::textOf(data, size);
    const std::optional<unsigned> port = control::portNumber(text);
    if (port) {
        FUZZ_CHECK(*port >= 1 && *port <= 65535);
        FUZZ_CHECK(addrinfoPort(std::string(text)) == port);
    }
    if (const auto number = plainNumber(text); number && *number >= 1 && *number <= 65535)
        FUZZ_CHECK(port == *number);
    return 0;
}
