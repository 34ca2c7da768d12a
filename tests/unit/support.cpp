#include "support.h"

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "core/log.h"
#include "guard/kernel.h"

namespace support {
namespace {

// No unit test reaches the host's packet filter: the guard's kernel refuses everything unless
// a test put a fake in its place.
[[maybe_unused]] const bool guardKernelRefuses = [] {
    guard::Kernel& k = guard::kernel();
    k.nft = [](const std::string&, std::string&) -> std::optional<std::string> {
        return "unit tests never reach the packet filter";
    };
    k.hasNfTables = [] { return true; };
    k.addresses = [] { return std::optional<std::vector<netlink::InterfaceAddress>>(); };
    k.interfaceIndex = [](const std::string&) { return 0u; };
    k.watchInterfaces = k.watchTables = [] {
        return netlink::Subscription{netlink::Subscription::Failure::Socket, EPERM, {}};
    };
    return true;
}();

// Nor the host's files: outside a Sandbox every path the daemon writes leads nowhere, so that
// a thread a test left running after its Sandbox ended cannot reach /etc, /run or /var.
[[maybe_unused]] const bool pathsLeadNowhere = [] {
    core::Paths& paths = core::paths();
    const std::string nowhere = "/nonexistent/telvord-unit-tests/";
    paths.configFile = nowhere + "telvor.clientd.conf";
    paths.debugLogFile = nowhere + "telvor.clientd.log";
    paths.portFile = nowhere + "telvor.clientd.port";
    paths.resolverFile = nowhere + "resolv.conf";
    paths.resolverBackup = nowhere + "resolv.conf.telvord";
    paths.systemBusSocket = nowhere + "system_bus_socket";
    paths.runtimeDirectory = nowhere + "run";
    paths.stateFile.clear();  // no state file at all
    return true;
}();

}  // namespace

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool exists(const std::string& path) {
    std::error_code error;
    return std::filesystem::symlink_status(path, error).type() !=
           std::filesystem::file_type::not_found;
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "telvord-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code error;
    std::filesystem::remove_all(path_, error);
}

Sandbox::Sandbox() : saved_(core::paths()) {
    core::Paths& paths = core::paths();
    paths.configFile = path("telvor.clientd.conf");
    paths.debugLogFile = path("telvor.clientd.log");
    paths.portFile = path("telvor.clientd.port");
    paths.resolverFile = path("resolv.conf");
    paths.resolverBackup = path("resolv.conf.telvord");
    paths.procNetRoute = path("route");
    paths.systemBusSocket = path("system_bus_socket");
    paths.runtimeDirectory = path("run");
    paths.stateFile = path("run/state");
    paths.routePrograms = {path("sbin-route"), path("usr-bin-route")};
    core::logOpen(paths.debugLogFile);
}

Sandbox::~Sandbox() {
    core::logClose();
    core::paths() = saved_;
}

std::vector<std::string> Sandbox::messages() const {
    std::vector<std::string> result;
    std::istringstream text(readFile(path("telvor.clientd.log")));
    std::string line;
    while (std::getline(text, line)) {
        // "YYYY-MM-DD HH:MM:SS: " begins every message; a message that ends in a newline
        // leaves an empty line behind it.
        if (line.size() >= 21 && line.compare(19, 2, ": ") == 0) result.push_back(line.substr(21));
    }
    return result;
}

bool Sandbox::logged(const std::string& message) const {
    const auto all = messages();
    return std::find(all.begin(), all.end(), message) != all.end();
}

int Sandbox::countContaining(const std::string& part) const {
    const auto all = messages();
    return static_cast<int>(std::count_if(all.begin(), all.end(), [&](const std::string& m) {
        return m.find(part) != std::string::npos;
    }));
}

void Sandbox::clearLog() const {
    writeFile(path("telvor.clientd.log"), "");
}

}  // namespace support
