#pragma once

#include <unistd.h>

#include <gtest/gtest.h>

#include <optional>

#include "routing/kernel.h"
#include "routing/routing.h"
#include "sandbox.h"

namespace systest {

// A fresh host with an uplink, and the daemon that a test starts on it.
class SystemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "system tests need root for their namespaces";
        sandbox.emplace();
        sandbox->addUplink(uplink);
    }
    void TearDown() override { daemon.stop(); }

    void writeConfiguration(const std::string& text) {
        writeFile("/etc/telvor.clientd.conf", text);
    }

    UplinkOptions uplink;
    std::optional<NetworkSandbox> sandbox;
    Daemon daemon;
};

// A sandbox host whose routing operations run in this test process, against its kernel.
class InProcessRouting : public SystemTest {
  protected:
    void SetUp() override {
        SystemTest::SetUp();
        if (IsSkipped()) return;
        // Every routing operation acts on the namespace the process stands in.
        sandbox->requireFresh();
        routing::InitRoutingVariablesOs();
        routing::kernel() = routing::systemKernel();
    }
    void TearDown() override {
        routing::StopRouteWatchThread();
        routing::InitRoutingVariablesOs();
        SystemTest::TearDown();
    }
};

}  // namespace systest
