// The state file an earlier run left (routing::parseState): any content of it.

#include <cstdint>

#include "fuzz_support.h"
#include "routing/state_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::textOf(data, size);
    const auto saved = routing::parseState(text);
    if (!saved) return 0;
    // What is trusted reads back as itself, and names only addresses and devices.
    FUZZ_CHECK(routing::parseState(routing::formatState(*saved)) == saved);
    for (const routing::DefaultRoute& route : saved->removedRoutes) {
        FUZZ_CHECK(route.gateway || !route.device.empty());
        FUZZ_CHECK(route.device.find_first_of(" \n/") == std::string::npos);
    }
    return 0;
}
