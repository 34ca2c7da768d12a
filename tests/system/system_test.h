#pragma once

#include <unistd.h>

#include <gtest/gtest.h>

#include <optional>

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

}  // namespace systest
