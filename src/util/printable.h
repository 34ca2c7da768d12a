#pragma once

#include <algorithm>
#include <string>
#include <string_view>

namespace util {

// Text from outside the daemon made fit for a log line: control characters shown as '?', so
// that no client can forge a line or send a terminal escape, and cut after `shown` characters.
inline std::string printable(std::string_view text, std::size_t shown = 64) {
    std::string result(text.substr(0, shown));
    std::replace_if(
        result.begin(), result.end(),
        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }, '?');
    if (text.size() > shown) result += "...";
    return result;
}

}  // namespace util
