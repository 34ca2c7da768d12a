#pragma once

// The launch policy: which OpenVPN options a client may not hand the daemon. The daemon runs
// OpenVPN as root with the argument vector a client sent, and the control port has no
// authentication, so any local user could otherwise have root run their code or write over a
// file of their choice. Every option that can do either is refused, on the command line and
// in every configuration file it names.
//
// A configuration file stays in its owner's hands after it was checked, so OpenVPN must not
// read it again: the launcher hands OpenVPN a private copy of exactly the text that was
// checked. For the same reason a configuration file may not name a further one.

#include <string>
#include <string_view>
#include <vector>

namespace control {

// A configuration file named on the command line, as it was read and checked.
struct CheckedConfiguration {
    std::size_t argument = 0;  // the index in argv of the word that names it
    std::string text;
};

struct PolicyVerdict {
    bool allowed = true;
    std::string option;  // the refused option's name, without dashes
    std::string reason;  // why it is refused
    std::string file;    // the configuration file that holds it; empty on the command line
    int line = 0;        // its line in that file
    std::vector<CheckedConfiguration> configurations;  // when allowed
};

// Checks OpenVPN's argument vector (argv[0] first). Relative configuration file names are
// taken relative to `directory`, the working directory OpenVPN will start in.
PolicyVerdict checkLaunchPolicy(const std::vector<std::string>& argv, const std::string& directory);

// Checks the text of one configuration file; `name` is used in messages.
PolicyVerdict checkConfigurationText(std::string_view text, const std::string& name);

// The words of one configuration line as OpenVPN reads them: blanks separate words, double
// and single quotes group them, a backslash escapes the next character outside single quotes,
// and a line whose first word begins with '#' or ';' is a comment.
std::vector<std::string> configurationWords(std::string_view line);

}  // namespace control
