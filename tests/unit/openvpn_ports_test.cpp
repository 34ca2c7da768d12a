#include <gtest/gtest.h>

#include "control/openvpn_ports.h"

namespace {

TEST(PortNumber, OnlyDigitsOfANumberFrom1To65535AreAPort) {
    const struct {
        const char* text;
        std::optional<unsigned> port;
    } cases[] = {
        {"1", 1},
        {"53", 53},
        {"0053", 53},
        {"65535", 65535},
        {"65536", {}},
        {"65589", {}},
        {"0", {}},
        {"", {}},
        {"+53", {}},
        {" 53", {}},
        {"53 ", {}},
        {"-65483", {}},
        {"domain", {}},
        {"0x35", {}},
        {"5e1", {}},
        {"18446744073709551669", {}},
        {"000000000000000000000022", 22},
    };
    for (const auto& c : cases)
        EXPECT_EQ(control::portNumber(c.text), c.port) << '"' << c.text << '"';
}

}  // namespace
