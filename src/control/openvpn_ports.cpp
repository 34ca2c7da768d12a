#include "control/openvpn_ports.h"

#include <algorithm>

namespace control {
namespace {

// What decides the local port of one connection of OpenVPN. Where OpenVPN's versions differ,
// it is read the way that binds: "port" counts as naming the local port of UDP even where a
// 2.6 client binds a random one unless "lport" names it.
struct Endpoint {
    std::string port = "1194";  // OpenVPN's default local port
    std::string namedBy = "port";
    bool lport = false;  // whether "lport" named the port
    bool nobind = false;
    std::string proto = "udp";
};

void apply(Endpoint& endpoint, const std::vector<std::string>& words) {
    const std::string& name = words.at(0);
    if (name == "nobind") endpoint.nobind = true;
    if (words.size() != 2) return;
    if (name == "proto") endpoint.proto = words[1];
    if (name == "port" || name == "lport") {
        endpoint.port = words[1];
        endpoint.namedBy = name;
        endpoint.lport = endpoint.lport || name == "lport";
    }
}

// Why binding `port` is refused; none when it may be bound.
std::optional<std::string> privileged(const std::string& port, const char* verb) {
    const std::optional<unsigned> value = portNumber(port);
    if (!value) return "names the port " + port + ", which is no number from 1 to 65535";
    if (*value >= 1024) return std::nullopt;
    return std::string("would have OpenVPN ") + verb + " port " + std::to_string(*value) +
           ", below 1024";
}

std::optional<PortRefusal> judge(const Endpoint& endpoint) {
    // A TCP server listens whatever else is said; a TCP client binds only the port that
    // "lport" names; UDP binds its port unless told not to.
    const bool server = endpoint.proto.ends_with("-server");
    const bool tcpClient = !server && endpoint.proto.starts_with("tcp");
    const bool binds = server || (!endpoint.nobind && (!tcpClient || endpoint.lport));
    if (!binds) return std::nullopt;
    const auto reason = privileged(endpoint.port, server ? "listen on" : "bind");
    if (!reason) return std::nullopt;
    return PortRefusal{endpoint.namedBy, *reason};
}

std::optional<PortRefusal> managementPort(const std::vector<Directive>& options) {
    std::optional<std::string> port;
    bool connects = false;
    for (const Directive& option : options) {
        if (option.block) continue;
        const std::vector<std::string>& words = option.words;
        if (words.at(0) == "management" && words.size() >= 3) port = words[2];
        connects = connects || words[0] == "management-client";
    }
    if (!port || connects) return std::nullopt;
    const auto reason = privileged(*port, "listen on");
    if (!reason) return std::nullopt;
    return PortRefusal{"management", *reason};
}

}  // namespace

std::optional<unsigned> portNumber(std::string_view text) {
    if (text.empty()) return std::nullopt;
    unsigned value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > 65535) return std::nullopt;
    }
    if (value == 0) return std::nullopt;
    return value;
}

std::optional<PortRefusal> privilegedPort(const std::vector<Directive>& options) {
    // A <connection> block starts from the options read before it; without blocks, OpenVPN
    // uses the options outside them, which are judged in any case.
    Endpoint outside;
    for (const Directive& option : options) {
        if (!option.block) {
            apply(outside, option.words);
        } else if (!option.inlineText) {
            Endpoint block = outside;
            for (const Directive& inner : option.connection)
                if (!inner.block) apply(block, inner.words);
            if (auto refusal = judge(block)) return refusal;
        }
    }
    if (auto refusal = judge(outside)) return refusal;
    return managementPort(options);
}

}  // namespace control
