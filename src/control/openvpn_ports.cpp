#include "control/openvpn_ports.h"

#include <algorithm>
#include <array>
#include <utility>

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
    Protocol protocol = Protocol::Udp;
    std::string protocolBy;  // the option that named a protocol OpenVPN could not take, if any
};

void setProtocol(Endpoint& endpoint, const std::string& word, const std::string& option) {
    const std::optional<Protocol> protocol = protocolNamed(word);
    if (!protocol) {
        endpoint.protocolBy = option;
        return;
    }
    endpoint.protocol = *protocol;
    // A protocol that makes the connection listen is the reason it binds its port.
    if (*protocol == Protocol::TcpServer) endpoint.namedBy = option;
}

// Applies one option to a connection; `inBlock` for one of a <connection> block's own.
void apply(Endpoint& endpoint, const std::vector<std::string>& words, bool inBlock) {
    const std::string& name = words.at(0);
    if (name == "nobind") endpoint.nobind = true;
    // Inside a <connection> block "remote" sets the block's protocol; outside it makes a
    // connection of its own.
    if (inBlock && name == "remote" && words.size() >= 4) setProtocol(endpoint, words[3], name);
    if (words.size() != 2) return;
    if (name == "proto") setProtocol(endpoint, words[1], name);
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
    if (!endpoint.protocolBy.empty())
        return PortRefusal{endpoint.protocolBy, "names a protocol OpenVPN does not know"};
    // A TCP server listens whatever else is said; a TCP client binds only the port that
    // "lport" names; UDP binds its port unless told not to.
    const bool server = endpoint.protocol == Protocol::TcpServer;
    const bool tcpClient = endpoint.protocol == Protocol::TcpClient;
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

std::optional<Protocol> protocolNamed(std::string_view word) {
    // OpenVPN's names, each also with 4 or 6 after "udp" or "tcp" for one address family.
    static constexpr std::array<std::pair<std::string_view, Protocol>, 12> names{{
        {"udp", Protocol::Udp},
        {"udp4", Protocol::Udp},
        {"udp6", Protocol::Udp},
        {"tcp", Protocol::TcpClient},
        {"tcp4", Protocol::TcpClient},
        {"tcp6", Protocol::TcpClient},
        {"tcp-client", Protocol::TcpClient},
        {"tcp4-client", Protocol::TcpClient},
        {"tcp6-client", Protocol::TcpClient},
        {"tcp-server", Protocol::TcpServer},
        {"tcp4-server", Protocol::TcpServer},
        {"tcp6-server", Protocol::TcpServer},
    }};
    const auto found = std::find_if(names.begin(), names.end(),
                                    [&](const auto& name) { return name.first == word; });
    if (found == names.end()) return std::nullopt;
    return found->second;
}

std::optional<PortRefusal> privilegedPort(const std::vector<Directive>& options) {
    // The options outside blocks as they stand when each block is read, and when all are.
    Endpoint outside;
    std::vector<std::vector<std::string>> remotes;  // outside blocks, with a protocol
    for (const Directive& option : options) {
        if (!option.block) {
            apply(outside, option.words, false);
            if (option.words[0] == "remote" && option.words.size() >= 4)
                remotes.push_back(option.words);
        } else if (!option.inlineText) {
            Endpoint block = outside;
            for (const Directive& inner : option.connection)
                if (!inner.block) apply(block, inner.words, true);
            if (auto refusal = judge(block)) return refusal;
        }
    }
    // Outside blocks "remote" leaves the other connections' protocol alone: OpenVPN makes its
    // connection from all the options outside blocks and then takes the remote's protocol.
    for (const std::vector<std::string>& remote : remotes) {
        Endpoint connection = outside;
        setProtocol(connection, remote[3], remote[0]);
        if (auto refusal = judge(connection)) {
            refusal->option = remote[0];
            return refusal;
        }
    }
    if (auto refusal = judge(outside)) return refusal;
    return managementPort(options);
}

}  // namespace control
