#pragma once

// The route command runner. Every route change is one command of the `route` or `ip` program,
// built from the operation's template into a bounded text and run without a shell: the text is
// split into words and the program spawned directly. The operation sees the raw wait status
// (0 = success, an exit code of 2 arrives as 512); a program that cannot be started counts like
// a shell's exit code 127.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace routing {

// Commands are cut at this size less one.
inline constexpr std::size_t commandBufferSize = 512;
inline constexpr int spawnFailureStatus = 127 << 8;

// True when neither route program exists; IPv4 commands then take their `ip` form. Decided
// afresh by every operation. IPv6 commands always take the `ip` form.
bool useIpTool();

// Formats a command template, cut at 511 characters.
std::string formatCommand(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Runs a command through the kernel seam and returns its raw status.
int runCommand(std::string_view command);

// The words of a command text: runs of spaces separate them.
std::vector<std::string> commandWords(std::string_view command);
// Spawns the command's program (searched in PATH) with its words and waits for it.
int spawnCommand(std::string_view command);

}  // namespace routing
