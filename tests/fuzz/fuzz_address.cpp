// The address check that every client text passes before it reaches a route command.

#include <sys/socket.h>

#include <cstdint>
#include <string_view>

#include "fuzz_support.h"
#include "netlink/address.h"

using namespace std::string_view_literals;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::textOf(data, size);
    for (const int family : {AF_INET, AF_INET6}) {
        const auto address = netlink::Address::parse(text, family);
        if (!address) continue;
        // What passes is an address: no byte that could end a word or reach a shell survives,
        // and its canonical text reads back as the same address.
        constexpr std::string_view unsafe = " \t\n;&|$`'\"\\/\0"sv;
        FUZZ_CHECK(text.find_first_of(unsafe) == std::string_view::npos);
        const std::string canonical = address->text();
        FUZZ_CHECK(!canonical.empty());
        const auto again = netlink::Address::parse(canonical, family);
        FUZZ_CHECK(again && *again == *address);
    }
    return 0;
}
