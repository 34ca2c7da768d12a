// Inputs the fuzzers of tests/fuzz/ found to misbehave, kept as cases that read as the rule
// they broke. Each input is also in the fuzzer's corpus (named "regression-..."), which the
// fuzz build replays.

#include <sys/socket.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fake_kernel.h"
#include "netlink/address.h"
#include "routing/rtnetlink.h"

namespace {

using netlink::Address;

std::vector<std::byte> bytes(std::initializer_list<unsigned char> values) {
    std::vector<std::byte> result;
    for (const unsigned char value : values)
        result.push_back(std::byte{value});
    return result;
}

// corpus/fuzz_address/regression-nul-inside-address: inet_pton read "::" and stopped at the
// NUL, so the whole text passed as an address although the bytes after the NUL are none.
TEST(FuzzRegressions, TextWithANulInsideIsNoAddress) {
    using namespace std::string_view_literals;
    EXPECT_FALSE(Address::parse("::\0\0\0\0::8:"sv, AF_INET6));
    EXPECT_FALSE(Address::parse("10.8.0.1\0; reboot"sv, AF_INET));
    EXPECT_FALSE(Address::parse("fd42::1\0"sv, AF_INET6));
    EXPECT_TRUE(Address::parse("10.8.0.1"sv, AF_INET));
    EXPECT_TRUE(Address::parse("fd42::1"sv, AF_INET6));
}

// corpus/fuzz_netlink/regression-error-code-int-min: the lookup walk negated the error code
// of an NLMSG_ERROR to name it, which overflows for INT_MIN.
TEST(FuzzRegressions, LookupErrorCodeThatCannotBeNegatedFailsTheWalkWithAnUnknownError) {
    const std::vector<std::byte> found = bytes(
        {0x16, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x16, 0x00, 0x00, 0x16, 0x00, 0x00, 0x00,
         0x00, 0x00, 0x00, 0x00, 0x80, 0x00, 0x01, 0x80, 0x16, 0x00, 0x00, 0x00, 0x00, 0x16, 0x40});
    for (const auto& reply : {found, support::netlinkError(INT_MIN)}) {
        const auto walk = routing::rtnetlink::walkIpv6LookupReply(reply);
        EXPECT_TRUE(walk.failed);
        EXPECT_FALSE(walk.gateway);
        EXPECT_EQ(walk.errors,
                  std::vector<std::string>{std::string("Error ") + std::strerror(INT_MIN)});
    }
}

}  // namespace
