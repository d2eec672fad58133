#pragma once

// A private folder holding a copy of the host and, as asked, of the stand-in engine, with
// logging switched on: one host's log, engine record and single-instance run per test.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "parent/host_process.h"
#include "support/bin_directory.h"
#include "support/file_lines.h"

namespace lark::test {

// Dependent: a stand-in that imports lark_sim_dependency.dll, which the test places.
enum class EngineCopy { Full, LackingTwoExports, Dependent, Missing };

class HostDir {
 public:
  explicit HostDir(EngineCopy engine = EngineCopy::Full) {
    namespace fs = std::filesystem;
    static std::atomic<int> serial{0};
    path_ = fs::temp_directory_path() /
            ("lark-host-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(serial++));
    fs::remove_all(path_);
    fs::create_directories(path_);
    fs::copy_file(BinDirectory() / "LarkRemoteHost.exe", path_ / "LarkRemoteHost.exe");
    const char* const built[] = {"LarkRemoteStreamer.dll", "LarkRemoteStreamer_lacking.dll",
                                 "LarkRemoteStreamer_dependent.dll"};
    if (engine != EngineCopy::Missing)
      fs::copy_file(BinDirectory() / built[static_cast<int>(engine)],
                    path_ / "LarkRemoteStreamer.dll");
    std::ofstream(path_ / "lklogfile.txt") << "logfile_on";
  }
  ~HostDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  HostDir(const HostDir&) = delete;
  HostDir& operator=(const HostDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }

  void Script(const std::string& text) const {
    std::ofstream(path_ / "LarkRemoteStreamer.sim", std::ios::binary) << text;
  }

  // Starts the host; arguments as HostProcess takes them (default: the six handles), in this
  // folder unless another working directory is given.
  std::unique_ptr<LarkParent::HostProcess> Launch(
      std::function<std::vector<std::wstring>(const AnonRpc::PipeHandles&)> arguments = {},
      const std::filesystem::path& workingDirectory = {}) const {
    LarkParent::HostProcess::Options options;
    options.executable = (path_ / "LarkRemoteHost.exe").wstring();
    options.arguments = std::move(arguments);
    options.workingDirectory = workingDirectory.wstring();
    std::string error;
    std::unique_ptr<LarkParent::HostProcess> host =
        LarkParent::HostProcess::Launch(options, &error);
    EXPECT_NE(host, nullptr) << error;
    return host;
  }

  // The host's log messages without their timestamps.
  std::vector<std::string> Log() const { return LogMessages(path_ / "LarkRemoteStreamer.dat"); }
  void ClearLog() const { std::filesystem::remove(path_ / "LarkRemoteStreamer.dat"); }

  // What the stand-in engine was asked, one call per line (fields TAB-separated).
  std::vector<std::string> EngineCalls() const {
    return FileLines(path_ / "LarkRemoteStreamer.calls", "\n");
  }

 private:
  std::filesystem::path path_;
};

}  // namespace lark::test
