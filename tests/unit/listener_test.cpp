#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include "control/frame.h"
#include "control/listener.h"
#include "core/paths.h"
#include "support.h"
#include "util/unique_fd.h"

namespace {

using control::frameSize;

struct SocketPair {
    util::unique_fd daemonSide, clientSide;
    SocketPair() {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        daemonSide.reset(fds[0]);
        clientSide.reset(fds[1]);
    }
    void send(const std::string& bytes) {
        ASSERT_EQ(::write(clientSide.get(), bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
    }
    std::size_t receive(control::Frame& frame) {
        frame.clear();
        frame.received = control::receiveBuffer(daemonSide.get(), frame.bytes.data(), frameSize, 0);
        return frame.received;
    }
};

TEST(Frames, FiveThousandBytesMakeOneFrameAndTheStartOfTheNext) {
    SocketPair pair;
    std::string bytes = "enablelockdown:";
    bytes.resize(frameSize, '\0');
    bytes += "serveraddress:198.51.100.7";
    bytes.resize(5000, '\0');
    std::thread writer([&] {
        pair.send(bytes);
        pair.clientSide.reset();
    });
    control::Frame frame;
    EXPECT_EQ(pair.receive(frame), frameSize);
    EXPECT_EQ(frame.text(), "enablelockdown:");
    EXPECT_EQ(pair.receive(frame), 904u);
    EXPECT_EQ(frame.text(), "serveraddress:198.51.100.7");
    EXPECT_EQ(pair.receive(frame), 0u);
    writer.join();
}

TEST(Frames, AShortFrameBeforeCloseIsNulFilled) {
    SocketPair pair;
    pair.send(std::string(100, 'x'));
    pair.clientSide.reset();
    control::Frame frame;
    EXPECT_EQ(pair.receive(frame), 100u);
    EXPECT_EQ(frame.text(), std::string(100, 'x'));
    EXPECT_EQ(frame.bytes[100], '\0');
    EXPECT_EQ(pair.receive(frame), 0u);
}

TEST(Frames, AFrameWithoutNulEndsAtTheFrameBoundary) {
    SocketPair pair;
    pair.send(std::string(frameSize, 'y') + "next");
    pair.clientSide.reset();
    control::Frame frame;
    EXPECT_EQ(pair.receive(frame), frameSize);
    EXPECT_EQ(frame.text().size(), frameSize);
    EXPECT_EQ(frame.text(11).size(), frameSize - 11);
    EXPECT_EQ(pair.receive(frame), 4u);
    EXPECT_EQ(frame.text(), "next");
}

class PortFile : public ::testing::Test {
  protected:
    support::Sandbox sandbox;
    const std::string& file = core::paths().portFile;

    mode_t mode() const {
        struct stat st {};
        EXPECT_EQ(::lstat(file.c_str(), &st), 0);
        return st.st_mode;
    }
};

TEST_F(PortFile, HoldsTheDigitsOnlyWithMode0674) {
    const mode_t oldMask = ::umask(077);
    ASSERT_EQ(control::writePortFile(40123), 0);
    ::umask(oldMask);
    EXPECT_EQ(support::readFile(file), "40123");
    EXPECT_TRUE(S_ISREG(mode()));
    EXPECT_EQ(mode() & 07777, 0674u);

    ASSERT_EQ(control::writePortFile(7), 0);
    EXPECT_EQ(support::readFile(file), "7");
}

TEST_F(PortFile, APlantedSymbolicLinkIsReplacedAndItsTargetLeftAlone) {
    const std::string target = sandbox.path("victim");
    support::writeFile(target, "precious");
    ASSERT_EQ(::symlink(target.c_str(), file.c_str()), 0);
    ASSERT_EQ(control::writePortFile(40123), 0);
    EXPECT_TRUE(S_ISREG(mode()));
    EXPECT_EQ(support::readFile(file), "40123");
    EXPECT_EQ(support::readFile(target), "precious");
}

TEST_F(PortFile, AHardLinkToAnotherFileIsReplacedAndTheFileLeftAlone) {
    const std::string other = sandbox.path("other");
    support::writeFile(other, "precious");
    ASSERT_EQ(::link(other.c_str(), file.c_str()), 0);
    ASSERT_EQ(control::writePortFile(40123), 0);
    EXPECT_EQ(support::readFile(other), "precious");
    EXPECT_EQ(support::readFile(file), "40123");
}

TEST_F(PortFile, AFileOfAnotherUserIsReplaced) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a file away";
    support::writeFile(file, "junk");
    ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
    ASSERT_EQ(control::writePortFile(40123), 0);
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, ::geteuid());
    EXPECT_EQ(support::readFile(file), "40123");
}

TEST_F(PortFile, ALinkPlantedOverAndOverNeverMakesAWriteFailOrReachItsTarget) {
    const std::string target = sandbox.path("victim");
    support::writeFile(target, "precious");
    std::atomic<bool> done{false};
    std::thread planter([&] {
        while (!done) {
            ::unlink(file.c_str());
            [[maybe_unused]] const int ignored = ::symlink(target.c_str(), file.c_str());
        }
    });
    int failures = 0;
    for (int i = 0; i < 200; ++i)
        failures += control::writePortFile(40000 + i) != 0;
    done = true;
    planter.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(support::readFile(target), "precious");
}

TEST_F(PortFile, ADirectoryAtThePathIsMovedAsideWithItsContent) {
    ASSERT_EQ(::mkdir(file.c_str(), 0755), 0);
    support::writeFile(file + "/keep", "kept");
    ASSERT_EQ(control::writePortFile(40123), 0);
    EXPECT_TRUE(S_ISREG(mode()));
    EXPECT_EQ(support::readFile(file), "40123");
    EXPECT_EQ(sandbox.countContaining("Moved a directory at " + file + " aside to "), 1);
    int kept = 0;
    for (const auto& entry : std::filesystem::directory_iterator(sandbox.path(".")))
        kept += entry.is_directory() && std::filesystem::exists(entry.path() / "keep");
    EXPECT_EQ(kept, 1);
}

}  // namespace
