#include "modes/steps.h"

#include <algorithm>

#include "core/fault_point.h"
#include "core/log.h"

namespace modes {

// Writes the modes' part of the state file: the flags of the moment and currentRun().
// Defined with the flags, in modes.cpp.
void recordModes();

namespace {

std::optional<routing::InFlight>& runUnderWay() {
    static std::optional<routing::InFlight> run;
    return run;
}

}  // namespace

const std::optional<routing::InFlight>& currentRun() {
    return runUnderWay();
}

const Sequence* findSequence(std::string_view name) {
    const auto all = allSequences();
    const auto found = std::find_if(
        all.begin(), all.end(), [&](const Sequence* sequence) { return sequence->name == name; });
    return found == all.end() ? nullptr : *found;
}

StepContext runSequence(const Sequence& sequence, std::string argument, std::size_t first) {
    const core::ActionScope actions(sequence.name);
    const std::optional<routing::InFlight> outer = runUnderWay();
    StepContext context;
    context.argument = std::move(argument);
    // Only a finished run needs its argument again, and only an address is ever recorded:
    // no text of a client's can make the record unreadable.
    const bool keep =
        sequence.resume == Resume::Complete && netlink::Address::parseAny(context.argument);
    for (std::size_t i = first; i < sequence.steps.size() && !context.ended; ++i) {
        runUnderWay() = routing::InFlight{sequence.name, static_cast<unsigned>(i),
                                          keep ? context.argument : std::string()};
        recordModes();
        sequence.steps[i].run(context);
    }
    runUnderWay() = outer;
    recordModes();
    return context;
}

ResumePlan planResume(const std::optional<routing::SavedState>& saved, bool configuredLockdown) {
    ResumePlan plan;
    plan.lockdown = configuredLockdown;
    if (!saved) return plan;
    const routing::ModesRecord& modes = saved->modes;
    plan.lockdown = configuredLockdown || modes.lockdown;
    plan.closeConnection = modes.connected || saved->tunnelAddress || saved->tunnelAddress6;
    if (!modes.inFlight) return plan;
    const Sequence* run = findSequence(modes.inFlight->sequence);
    if (run == nullptr) {
        core::logMessage(core::levelWarning,
                         "An earlier run was cut short in %s, which this one does not know",
                         modes.inFlight->sequence.c_str());
        return plan;
    }
    // What the run was changing decides, not the flags of its moment.
    switch (run->effect) {
        case Effect::EntersLockdown:
            plan.lockdown = true;
            break;
        case Effect::LeavesLockdown:
            plan.lockdown = configuredLockdown;
            break;
        case Effect::ClosesConnection:
            plan.closeConnection = false;  // finishing it is the close
            break;
        case Effect::Other:
            break;
    }
    switch (run->resume) {
        case Resume::Complete:
            plan.complete = run;
            plan.step = modes.inFlight->step;
            plan.argument = modes.inFlight->argument;
            break;
        case Resume::Close:
            plan.closeConnection = true;
            break;
        case Resume::Forget:
            break;
    }
    return plan;
}

}  // namespace modes
