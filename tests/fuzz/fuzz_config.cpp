// The configuration reader: any content of the configuration file.

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <iterator>

#include "core/config.h"
#include "fuzz_support.h"

namespace {

bool isLowerCase(const std::string& text) {
    return std::none_of(text.begin(), text.end(),
                        [](char c) { return std::isupper(static_cast<unsigned char>(c)) != 0; });
}

// The items whose values keep their case, all of them lower case already.
constexpr const char* caseKeeping[] = {core::cfgItemOpenVpnPrograms, core::cfgItemOpenVpnConfigDirs,
                                       core::cfgItemOpenVpnUser, core::cfgItemControlGroup};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::textOf(data, size);
    const core::ConfigurationText parsed = core::parseConfiguration(text);

    // The summary fits the daemon's 1024-byte buffer, terminator included.
    FUZZ_CHECK(parsed.summary.size() <= core::summarySize - 1);
    FUZZ_CHECK(parsed.summary.starts_with("Config file settings"));
    const auto lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    FUZZ_CHECK(static_cast<std::size_t>(parsed.accepted) + parsed.invalid.size() <= lines);
    for (const auto& item : parsed.invalid) {
        const std::string& key = item.first;
        const std::string& value = item.second;
        // Paths, account and group names keep their case; every other value is folded.
        const bool keepsCase = std::any_of(std::begin(caseKeeping), std::end(caseKeeping),
                                           [&](const char* name) { return key.starts_with(name); });
        FUZZ_CHECK(isLowerCase(key) && (keepsCase || isLowerCase(value)));
        FUZZ_CHECK(key.find('\n') == std::string::npos && value.find('\n') == std::string::npos);
    }
    return 0;
}
