// The record the step runner leaves before each step, and what a start decides from a record.

#include "modes/steps.h"

#include <gtest/gtest.h>

#include "fake_kernel.h"
#include "modes/modes.h"
#include "routing/routing.h"
#include "support.h"

namespace {

using modes::Resume;
using modes::Sequence;
using modes::Step;
using modes::StepContext;
using routing::InFlight;

// What the state file said of the run under way when each step began.
std::vector<std::optional<InFlight>> seen;

void look(StepContext&) {
    seen.push_back(routing::LoadState()->modes.inFlight);
}
void lookAndEnd(StepContext& context) {
    look(context);
    context.ended = true;
}
constexpr Step inner[] = {{"Look", look}};
constexpr Sequence innerRun{"Inner", inner, Resume::Complete};
void nested(StepContext&) {
    modes::runSequence(innerRun);
}

class StepRunner : public ::testing::Test {
  protected:
    void SetUp() override {
        modes::InitRoutingVariables();
        seen.clear();
    }
    void TearDown() override { modes::InitRoutingVariables(); }

    support::Sandbox sandbox;
    support::FakeKernel kernel;
};

TEST_F(StepRunner, RecordsEachStepBeforeItRunsAndNoneOnceTheRunIsOver) {
    struct Case {
        const char* name;
        std::vector<Step> steps;
        Resume resume;
        std::string argument;
        std::size_t first;
        std::vector<std::optional<InFlight>> expected;
    };
    const InFlight other{"Other", 0, ""};
    const std::vector<Case> cases = {
        {"Three",
         {{"A", look}, {"B", look}, {"C", look}},
         Resume::Complete,
         "",
         0,
         {InFlight{"Three", 0, ""}, InFlight{"Three", 1, ""}, InFlight{"Three", 2, ""}}},
        // A restart finishes a run from the step that was under way.
        {"Resumed",
         {{"A", look}, {"B", look}, {"C", look}},
         Resume::Complete,
         "192.0.2.7",
         1,
         {InFlight{"Resumed", 1, "192.0.2.7"}, InFlight{"Resumed", 2, "192.0.2.7"}}},
        {"Ends",
         {{"A", lookAndEnd}, {"B", look}},
         Resume::Complete,
         "",
         0,
         {InFlight{"Ends", 0, ""}}},
        // Only an address that a finished run needs again is recorded.
        {"NotAnAddress",
         {{"A", look}},
         Resume::Complete,
         "x\ninflight=Evil 1",
         0,
         {InFlight{"NotAnAddress", 0, ""}}},
        {"Undone", {{"A", look}}, Resume::Close, "10.8.0.1", 0, {InFlight{"Undone", 0, ""}}},
        // A run inside another names itself, and then the outer one again.
        {"Outer",
         {{"A", nested}, {"B", look}},
         Resume::Complete,
         "",
         0,
         {InFlight{"Inner", 0, ""}, InFlight{"Outer", 1, ""}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        seen.clear();
        modes::runSequence(Sequence{c.name, c.steps, c.resume}, c.argument, c.first);
        EXPECT_EQ(seen, c.expected);
        const auto after = routing::LoadState();
        EXPECT_TRUE(!after || !after->modes.inFlight);
    }
}

TEST_F(StepRunner, TheRecordCarriesTheFlagsOfTheMomentTheStepBegan) {
    modes::PrepareForTunnel();
    modes::EnableForcedMode();
    const auto saved = routing::LoadState();
    ASSERT_TRUE(saved);
    EXPECT_TRUE(saved->modes.connecting);
    EXPECT_TRUE(saved->modes.forced);
    EXPECT_FALSE(saved->modes.lockdown);
}

routing::SavedState record(bool lockdown, bool connected, std::optional<InFlight> run,
                           std::optional<std::string> tunnel = std::nullopt) {
    routing::SavedState saved;
    saved.modes.lockdown = lockdown;
    saved.modes.connected = connected;
    saved.modes.inFlight = std::move(run);
    saved.tunnelAddress = std::move(tunnel);
    return saved;
}

TEST(ResumePlan, EachRecordedRunIsFinishedOrLeftToTheCloseOfItsConnection) {
    struct Case {
        const char* what;
        std::optional<routing::SavedState> saved;
        bool configured;
        const char* complete;  // the run finished, if any
        std::size_t step;
        bool close, lockdown;
    };
    const std::vector<Case> cases = {
        {"no record, nothing configured", std::nullopt, false, nullptr, 0, false, false},
        {"no record, lockdown configured", std::nullopt, true, nullptr, 0, false, true},
        {"lockdown on, idle", record(true, false, {}), false, nullptr, 0, false, true},
        {"released, configured on", record(false, false, {}), true, nullptr, 0, false, true},
        {"enabling", record(false, false, InFlight{"EnableLockdown", 4, ""}), false,
         "EnableLockdown", 4, false, true},
        // The user released it: the restart must not put it back.
        {"disabling", record(true, false, InFlight{"DisableLockdown", 2, ""}), false,
         "DisableLockdown", 2, false, false},
        {"disabling, configured on", record(true, false, InFlight{"DisableLockdown", 2, ""}), true,
         "DisableLockdown", 2, false, true},
        {"connected", record(true, true, {}), false, nullptr, 0, true, true},
        {"tunnel route recorded", record(true, false, {}, "10.8.0.1"), false, nullptr, 0, true,
         true},
        {"coming up", record(true, false, InFlight{"ConnectionSuccessful.Lockdown", 3, ""}), false,
         nullptr, 0, true, true},
        {"tunnel route coming",
         record(false, false, InFlight{"ConnectionSuccessful4.Basic", 2, ""}), false, nullptr, 0,
         true, false},
        // Finishing a close is the close.
        {"closing", record(true, false, InFlight{"ConnectionClosed.Lockdown", 3, ""}, "10.8.0.1"),
         false, "ConnectionClosed.Lockdown", 3, false, true},
        {"adding a server route", record(true, false, InFlight{"SetServerAddress", 0, "192.0.2.7"}),
         false, "SetServerAddress", 0, false, true},
        // The start gives the resolver file back whatever the record says.
        {"replacing the resolver", record(true, true, InFlight{"ReplaceDns", 0, ""}), false,
         nullptr, 0, true, true},
        {"a run this daemon does not know", record(true, false, InFlight{"Unknown", 1, ""}), false,
         nullptr, 0, false, true},
    };
    support::Sandbox sandbox;  // the unknown run is logged
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const modes::ResumePlan plan = modes::planResume(c.saved, c.configured);
        EXPECT_EQ(plan.complete ? std::string(plan.complete->name) : "",
                  c.complete ? c.complete : "");
        EXPECT_EQ(plan.step, c.step);
        EXPECT_EQ(plan.closeConnection, c.close);
        EXPECT_EQ(plan.lockdown, c.lockdown);
    }
    const auto server = record(true, false, InFlight{"SetServerAddress", 0, "192.0.2.7"});
    EXPECT_EQ(modes::planResume(server, false).argument, "192.0.2.7");
}

}  // namespace
