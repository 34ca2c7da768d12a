#pragma once

// Sequences of steps, and the one function that runs and records them. A handler that changes
// modes, routes, rules, the guard or the resolver describes what it changes as a table of
// steps (modes.cpp); the runner records in the state file which step it is about to run before
// it runs it, and that the run is over after its last. Whatever a kill cuts short, a restart
// finds in the record and deals with as planResume decides: it finishes the run, or leaves it
// to the close of the connection it was bringing up to undo.

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "routing/state_file.h"

namespace modes {

// What the steps of one run share.
struct StepContext {
    std::string argument;  // the client's address text, recorded with the run
    int result = 0;        // what the handler returns, for those that return something
    bool ended = false;    // set by a step that ends the run: the steps after it do not happen
    int ipv6Host = 0;      // CheckForIpv6Environment's answer, for the steps after it
};

struct Step {
    const char* name;
    void (*run)(StepContext&);
};

// What a restart does with a run that a kill cut short.
enum class Resume {
    Complete,  // runs the rest, from the step that was under way
    Close,     // closes the connection the run was bringing up, which undoes what it did
    Forget,    // nothing of its own: the start gives back the resolver file and resolved's link
};

// What a run, once complete, has done to the mode or the connection.
enum class Effect { Other, EntersLockdown, LeavesLockdown, ClosesConnection };

struct Sequence {
    const char* name;  // recorded: letters, digits and dots
    std::span<const Step> steps;
    Resume resume;
    Effect effect = Effect::Other;
};

// Every sequence of the handlers, for a restart to find a run by its recorded name.
std::span<const Sequence* const> allSequences();
const Sequence* findSequence(std::string_view name);

// Runs `sequence` from step `first` on. Before each step it records, with the modes' flags of
// that moment, which step is about to run; after the last, or after a step that ended the run,
// that none is. A run inside another records its own steps and then the outer one's again.
// The caller holds the state lock.
StepContext runSequence(const Sequence& sequence, std::string argument = {}, std::size_t first = 0);
// The run whose step is under way now, if any: what the modes' record names.
const std::optional<routing::InFlight>& currentRun();

// What a start does with the state an earlier run of this boot left.
struct ResumePlan {
    const Sequence* complete = nullptr;  // finish this run ...
    std::size_t step = 0;                // ... from this step
    std::string argument;                // ... with the argument it had
    bool closeConnection = false;        // a tunnel was up, or coming up: its close is due
    bool lockdown = false;               // lockdown is to be on
};
// The record, when there is one, and the configuration's lockdown= decide. The tunnel that was
// up does not outlive the daemon: its OpenVPN ended with it (the service's control group).
ResumePlan planResume(const std::optional<routing::SavedState>& saved, bool configuredLockdown);

}  // namespace modes
