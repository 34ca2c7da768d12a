#pragma once

// OpenVPN's configuration syntax, read exactly as OpenVPN 2.6 reads it and refused wherever
// the two readings could differ: the launch policy may only judge what OpenVPN will obey.
// Pure functions over text, so that unit tests feed crafted files and fuzzers random ones.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace control {

// One option of a configuration.
struct Directive {
    int line = 0;                           // the line it starts on
    std::vector<std::string> words;         // its name first, without dashes, then its arguments
    bool block = false;                     // read from <name>...</name>
    std::optional<std::string> inlineText;  // the lines between the tags of an option's block
    std::vector<Directive> connection;      // the options of a <connection> block
};

struct ConfigurationReading {
    std::vector<Directive> directives;
    std::string refusal;  // why the text is refused; empty when it was read
    int line = 0;         // the line the refusal is about
};

// OpenVPN reads lines into a buffer of this size and splits longer ones.
inline constexpr std::size_t openVpnLineSize = 256;
// Words one line may hold; OpenVPN drops the rest of a line silently.
inline constexpr std::size_t openVpnMaxWords = 16;

// The words of one line as OpenVPN splits them, or none with `refusal` set. Blanks separate
// words; double and single quotes make one word; a backslash escapes a backslash, a double
// quote or a blank outside single quotes; a word that begins with '#' or ';' starts a comment.
std::optional<std::vector<std::string>> configurationWords(std::string_view line,
                                                           std::string& refusal);

// Reads a configuration. `mayBeInline` names the options that may be given as a block.
ConfigurationReading readOpenVpnConfiguration(
    std::string_view text, const std::function<bool(std::string_view)>& mayBeInline);

// The configuration text OpenVPN reads back as exactly `directives`; none when a line would
// grow past OpenVPN's line limit.
std::optional<std::string> writeOpenVpnConfiguration(const std::vector<Directive>& directives);

}  // namespace control
