#include "control/openvpn_config.h"

#include <algorithm>
#include <utility>

#include "core/config.h"

namespace control {
namespace {

// OpenVPN's own test: isspace() in the C locale, or the end of the line.
bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool quote(char c) {
    return c == '"' || c == '\'';
}

// The text split into lines as OpenVPN reads them, after the checks that make its reading and
// ours the same: no NUL byte and no line long enough for OpenVPN to split it.
struct Lines {
    std::vector<std::string_view> lines;  // each with its newline, if it had one
    std::string refusal;
    int line = 0;
};

Lines splitLines(std::string_view text) {
    Lines result;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line =
            text.substr(0, end == std::string_view::npos ? text.size() : end + 1);
        text.remove_prefix(line.size());
        result.lines.push_back(line);
        const int number = static_cast<int>(result.lines.size());
        if (line.find('\0') != std::string_view::npos) {
            return Lines{{}, "holds a NUL byte", number};
        }
        if (line.size() >= openVpnLineSize - 1) {
            return Lines{{}, "holds a line longer than OpenVPN reads whole", number};
        }
    }
    return result;
}

// The option a line names, without the dashes OpenVPN accepts before it.
std::string_view optionName(std::string_view word) {
    return word.size() >= 3 && word.starts_with("--") ? word.substr(2) : word;
}

bool tagName(std::string_view name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
    });
}

class Reader {
  public:
    Reader(std::vector<std::string_view> lines, int firstLine,
           const std::function<bool(std::string_view)>& mayBeInline, bool nested)
        : lines_(std::move(lines)), first_(firstLine), mayBeInline_(mayBeInline), nested_(nested) {}

    ConfigurationReading read() {
        while (next_ < lines_.size() && result_.refusal.empty())
            readLine();
        return std::move(result_);
    }

  private:
    int number(std::size_t index) const { return first_ + static_cast<int>(index); }

    void refuse(std::string why, std::size_t index) {
        result_.refusal = std::move(why);
        result_.line = number(index);
    }

    void readLine() {
        const std::size_t index = next_++;
        std::string refusal;
        const auto words = configurationWords(lines_[index], refusal);
        if (!words) return refuse(refusal, index);
        if (words->empty()) return;
        const std::string_view first = optionName((*words)[0]);
        if (first.starts_with('<')) return readBlock(*words, index);
        Directive directive{number(index), *words, false, std::nullopt, {}};
        directive.words[0] = std::string(first);
        result_.directives.push_back(std::move(directive));
    }

    // An opening tag: the line must hold the tag and nothing else, and OpenVPN must read the
    // block as we do.
    void readBlock(const std::vector<std::string>& words, std::size_t index) {
        const std::string_view line = core::trim(lines_[index]);
        const std::string_view name = line.size() > 2 && line.front() == '<' && line.back() == '>'
                                          ? line.substr(1, line.size() - 2)
                                          : std::string_view();
        if (words.size() != 1 || !tagName(name)) {
            return refuse("holds an opening tag with more on its line", index);
        }
        const bool connection = name == "connection";
        if (connection ? nested_ : !mayBeInline_(name)) {
            return refuse(
                "holds an inline block for " + std::string(name) + ", which may not be inline",
                index);
        }
        const std::string closing = "</" + std::string(name) + ">";
        std::vector<std::string_view> inner;
        for (;;) {
            if (next_ >= lines_.size()) return refuse("holds a block never closed", index);
            const std::string_view content = lines_[next_++];
            std::string_view start = content;
            while (!start.empty() && blank(start.front()))
                start.remove_prefix(1);
            if (start.starts_with(closing)) {
                if (!core::trim(start.substr(closing.size())).empty()) {
                    return refuse("holds a closing tag with more on its line", next_ - 1);
                }
                break;
            }
            inner.push_back(content);
        }
        Directive directive{number(index), {std::string(name)}, true, std::nullopt, {}};
        if (connection) {
            ConfigurationReading block =
                Reader(std::move(inner), number(index) + 1, mayBeInline_, true).read();
            if (!block.refusal.empty()) {
                result_.refusal = std::move(block.refusal);
                result_.line = block.line;
                return;
            }
            directive.connection = std::move(block.directives);
        } else {
            std::string text;
            for (const std::string_view content : inner)
                text.append(content);
            directive.inlineText = std::move(text);
        }
        result_.directives.push_back(std::move(directive));
    }

    std::vector<std::string_view> lines_;
    int first_;
    const std::function<bool(std::string_view)>& mayBeInline_;
    bool nested_;
    std::size_t next_ = 0;
    ConfigurationReading result_;
};

constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";

// Whether a word must be quoted to be read back as itself; a mark at the start of the text
// would be skipped.
bool needsQuotes(std::string_view word) {
    return word.empty() || word.starts_with(byteOrderMark) ||
           std::any_of(word.begin(), word.end(), [](char c) {
               return blank(c) || quote(c) || c == '\\' || c == '#' || c == ';';
           });
}

std::string quoted(std::string_view word) {
    if (!needsQuotes(word)) return std::string(word);
    std::string text = "\"";
    for (const char c : word) {
        if (c == '\\' || c == '"') text.push_back('\\');
        text.push_back(c);
    }
    return text + "\"";
}

bool writeDirectives(const std::vector<Directive>& directives, std::string& text) {
    for (const Directive& directive : directives) {
        const std::string& name = directive.words.at(0);
        if (directive.block) {
            text += "<" + name + ">\n";
            if (directive.inlineText) {
                text += *directive.inlineText;
                if (!text.ends_with('\n')) text += '\n';
            } else if (!writeDirectives(directive.connection, text)) {
                return false;
            }
            text += "</" + name + ">\n";
            continue;
        }
        // The dashes OpenVPN drops from a name go back in front of one that begins with them.
        std::string line = quoted(optionName(name) != name ? "--" + name : name);
        for (std::size_t i = 1; i < directive.words.size(); ++i)
            line += " " + quoted(directive.words[i]);
        if (line.size() + 1 >= openVpnLineSize - 1) return false;
        text += line + "\n";
    }
    return true;
}

}  // namespace

std::optional<std::vector<std::string>> configurationWords(std::string_view line,
                                                           std::string& refusal) {
    enum class State { Between, Plain, DoubleQuoted, SingleQuoted };
    std::vector<std::string> words;
    std::string word;
    State state = State::Between;
    bool escaped = false;
    for (std::size_t i = 0; i <= line.size(); ++i) {
        // OpenVPN reads up to the terminating NUL and treats it as a blank.
        const char c = i < line.size() ? line[i] : '\0';
        const bool space = c == '\0' || blank(c);
        if (!escaped && c == '\\' && state != State::SingleQuoted) {
            escaped = true;
            continue;
        }
        if (escaped && (c == '\0' || c == '\n' || !(c == '\\' || c == '"' || space))) {
            refusal = "holds a backslash OpenVPN refuses";
            return std::nullopt;
        }
        const bool wasEscaped = std::exchange(escaped, false);
        switch (state) {
            case State::Between:
                if (space) continue;
                if (c == '#' || c == ';') return words;  // the rest of the line is a comment
                if (!wasEscaped && quote(c)) {
                    state = c == '"' ? State::DoubleQuoted : State::SingleQuoted;
                } else {
                    word.push_back(c);
                    state = State::Plain;
                }
                continue;
            case State::Plain:
                if (!wasEscaped && space) break;
                if (!wasEscaped && quote(c)) {
                    refusal = "holds a word glued to a quote";
                    return std::nullopt;
                }
                word.push_back(c);
                continue;
            case State::DoubleQuoted:
            case State::SingleQuoted:
                if (c == '\0') {
                    refusal = "holds a quote never closed";
                    return std::nullopt;
                }
                if (c != (state == State::DoubleQuoted ? '"' : '\'') || wasEscaped) {
                    word.push_back(c);
                    continue;
                }
                // OpenVPN ends the word at the quote and starts the next one right after it.
                if (i + 1 < line.size() && !blank(line[i + 1])) {
                    refusal = "holds a quote followed by more of a word";
                    return std::nullopt;
                }
                break;
        }
        words.push_back(std::exchange(word, {}));
        state = State::Between;
        if (words.size() >= openVpnMaxWords) {
            refusal = "holds a line of more words than OpenVPN reads";
            return std::nullopt;
        }
    }
    return words;
}

ConfigurationReading readOpenVpnConfiguration(
    std::string_view text, const std::function<bool(std::string_view)>& mayBeInline) {
    Lines split = splitLines(text);
    if (!split.refusal.empty()) return ConfigurationReading{{}, split.refusal, split.line};
    // OpenVPN skips a UTF-8 byte-order mark at the start of the first line it reads, after
    // that line was read with the mark counted.
    if (!split.lines.empty() && split.lines[0].starts_with(byteOrderMark)) {
        split.lines[0].remove_prefix(3);
    }
    return Reader(std::move(split.lines), 1, mayBeInline, false).read();
}

std::optional<std::string> writeOpenVpnConfiguration(const std::vector<Directive>& directives) {
    std::string text;
    if (!writeDirectives(directives, text)) return std::nullopt;
    return text;
}

}  // namespace control
