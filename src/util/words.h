#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace util {

// The words of a text that runs of spaces separate: no word is empty, and leading and trailing
// spaces make none. Only the space separates; tabs and quotes are part of words.
inline std::vector<std::string> spaceSeparatedWords(std::string_view text) {
    std::vector<std::string> words;
    std::size_t position = 0;
    while ((position = text.find_first_not_of(' ', position)) != std::string_view::npos) {
        const std::size_t end = text.find(' ', position);
        words.emplace_back(text.substr(position, end - position));
        if (end == std::string_view::npos) break;
        position = end;
    }
    return words;
}

}  // namespace util
