// The configuration reader: any content of the configuration file.

#include <algorithm>
#include <cctype>
#include <cstdint>

#include "core/config.h"
#include "fuzz_support.h"

namespace {

bool isLowerCase(const std::string& text) {
    return std::none_of(text.begin(), text.end(),
                        [](char c) { return std::isupper(static_cast<unsigned char>(c)) != 0; });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::textOf(data, size);
    const core::ConfigurationText parsed = core::parseConfiguration(text);

    // The summary fits the daemon's 1024-byte buffer, terminator included.
    FUZZ_CHECK(parsed.summary.size() <= core::summarySize - 1);
    FUZZ_CHECK(parsed.summary.starts_with("Config file settings"));
    const auto lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    FUZZ_CHECK(static_cast<std::size_t>(parsed.accepted) + parsed.invalid.size() <= lines);
    for (const auto& [key, value] : parsed.invalid) {
        // Paths and group names keep their case; every other value is folded.
        const bool keepsCase = key.starts_with("openvpnprograms") ||
                               key.starts_with("openvpnconfigdirs") ||
                               key.starts_with("controlgroup");
        FUZZ_CHECK(isLowerCase(key) && (keepsCase || isLowerCase(value)));
        FUZZ_CHECK(key.find('\n') == std::string::npos && value.find('\n') == std::string::npos);
    }
    return 0;
}
