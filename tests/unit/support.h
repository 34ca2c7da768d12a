#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "core/paths.h"

namespace support {

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
bool exists(const std::string& path);
// Polls `condition` until it holds or `timeout` passes; whether it held.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds timeout = std::chrono::seconds(5));

// A private temporary directory, removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Points every path of the daemon into a temporary directory and opens the debug log there;
// restores both when it ends.
class Sandbox {
  public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    std::string path(const std::string& name) const { return dir_ / name; }
    // The messages logged since the sandbox began, without their time prefix.
    std::vector<std::string> messages() const;
    bool logged(const std::string& message) const;
    // How many logged messages contain `part`.
    int countContaining(const std::string& part) const;
    void clearLog() const;

  private:
    TempDir dir_;
    core::Paths saved_;
};

}  // namespace support
