// The "/proc/net/route" parser of the IPv4 gateway discovery: any text of the file.

#include <cstdint>

#include "fuzz_support.h"
#include "routing/rtnetlink.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto scan = routing::rtnetlink::scanProcNetRoute(fuzz::textOf(data, size));

    FUZZ_CHECK(scan.gateway.has_value() == !scan.taken.empty());
    if (!scan.taken.empty()) FUZZ_CHECK(scan.interface == scan.taken.back());
    for (const std::string& interface : scan.taken) {
        // The name is read into a 16-byte buffer.
        FUZZ_CHECK(!interface.empty() && interface.size() <= 15);
    }
    return 0;
}
