#pragma once

// The launch policy. The daemon runs OpenVPN as root with the argument vector a client sent,
// and the control port has no authentication, so OpenVPN may do nothing as root but make the
// tunnel: only the options of an allowlist pass, on the command line and in every
// configuration file, and every file an option names is read with the rights of the user who
// asked and handed to OpenVPN as a private copy that its owner can no longer change.
//
// A launch goes through three steps, each once and in this order. It is read: the command line
// and every configuration it names, in the order OpenVPN reads them, with the devices they name
// that the host has already; the configurations of one launch may hold 4 MiB together. It is
// judged, by a verdict over what was read that opens nothing: each option, each device, each
// configuration, then the whole. It is rewritten: every file an option names is read and kept
// as a private copy, every configuration is written anew to name its copies and kept too, and
// the command line is pointed at them. The verdict is the first refusal in the order OpenVPN
// reads the options, as though each were judged and copied in turn: the rewrite goes as far as
// the judge's refusal, so that a file before it that cannot be read or copied is refused first.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace control {

struct PolicyVerdict {
    bool allowed = true;
    std::string option;  // the refused option's name, without dashes
    std::string reason;  // why it is refused
    std::string file;    // the configuration file that holds it; empty on the command line
    int line = 0;        // its line in that file
};

// What a file held, or why it could not be read.
struct FileRead {
    std::optional<std::string> text;
    std::string error;
};

// A configuration file as it was opened.
struct OpenedConfiguration {
    FileRead file;  // its text, or why it cannot be read
    // Set when the administrator provided the configuration for users to start: reads a name
    // it holds as root, a relative one from the directory the file really lies in. A
    // configuration nobody provided has its names read like the command line's, with the
    // caller's rights and relative to the directory it was named in.
    std::function<FileRead(const std::string& name)> readProvided;
};

// A private copy as it was kept: the path OpenVPN is to read, or why there is none.
struct KeptCopy {
    std::optional<std::string> path;
    std::string error;
};

// Where the policy meets the file system and the host's interfaces: the reading opens the
// configurations and looks the devices up, the rewriting reads the files options name and keeps
// the copies.
struct LaunchFiles {
    // Reads the file at an absolute path with the caller's rights.
    std::function<FileRead(const std::string& path)> read;
    // Opens the configuration file at an absolute path.
    std::function<OpenedConfiguration(const std::string& path)> configuration;
    // Keeps `text` in a private file and returns the path OpenVPN is to read instead.
    std::function<KeptCopy(std::string_view text)> keep;
    // Whether the host has a network interface of that name.
    std::function<bool(const std::string& name)> deviceExists;
};

// Checks OpenVPN's argument vector (argv[0] first) and points every file word at its private
// copy; a file named again is copied once. Relative names on the command line are taken relative to
// `directory`, where OpenVPN starts; relative names in a configuration file relative to that file's
// directory. Beside a configuration the administrator provided, the command line may add only what
// cannot send its secrets elsewhere; without one, OpenVPN may bind no port below 1024.
PolicyVerdict checkLaunchPolicy(std::vector<std::string>& argv, const std::string& directory,
                                const LaunchFiles& files);

// Whether OpenVPN may read `option`'s file from an inline block.
bool mayBeInline(std::string_view option);

}  // namespace control
