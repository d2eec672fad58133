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

#include "logging/flag_file.h"
#include "logging/log_files.h"
#include "parent/host_process.h"
#include "protocol/lark_protocol.h"
#include "support/bin_directory.h"
#include "support/file_lines.h"
#include "support/temp_dir.h"

namespace lark::test {

// Dependent: a stand-in that imports lark_sim_dependency.dll, which the test places.
enum class EngineCopy { Full, LackingTwoExports, Dependent, Missing };

class HostDir {
 public:
  explicit HostDir(EngineCopy engine = EngineCopy::Full) {
    namespace fs = std::filesystem;
    fs::copy_file(BinDirectory() / LarkProtocol::kHostExecutableName,
                  Path() / LarkProtocol::kHostExecutableName);
    const char* const built[] = {"LarkRemoteStreamer.dll", "LarkRemoteStreamer_lacking.dll",
                                 "LarkRemoteStreamer_dependent.dll"};
    if (engine != EngineCopy::Missing)
      fs::copy_file(BinDirectory() / built[static_cast<int>(engine)],
                    Path() / LarkProtocol::kEngineLibraryName);
    std::ofstream(Path() / LarkLogging::kFlagFileName) << "logfile_on";
  }
  HostDir(const HostDir&) = delete;
  HostDir& operator=(const HostDir&) = delete;

  const std::filesystem::path& Path() const { return dir_.Path(); }

  void Script(const std::string& text) const {
    std::ofstream(Path() / "LarkRemoteStreamer.sim", std::ios::binary) << text;
  }

  // Starts the host; arguments as HostProcess takes them (default: the six handles), in this
  // folder unless another working directory is given.
  std::unique_ptr<LarkParent::HostProcess> Launch(
      std::function<std::vector<std::wstring>(const AnonRpc::PipeHandles&)> arguments = {},
      const std::filesystem::path& workingDirectory = {}) const {
    LarkParent::HostProcess::Options options;
    options.executable = (Path() / LarkProtocol::kHostExecutableName).wstring();
    options.arguments = std::move(arguments);
    options.workingDirectory = workingDirectory.wstring();
    std::string error;
    std::unique_ptr<LarkParent::HostProcess> host =
        LarkParent::HostProcess::Launch(options, &error);
    EXPECT_NE(host, nullptr) << error;
    return host;
  }

  // The host's log messages without their timestamps.
  std::vector<std::string> Log() const { return LogMessages(Path() / LarkLogging::kLogFileName); }
  void ClearLog() const { std::filesystem::remove(Path() / LarkLogging::kLogFileName); }

  // What the stand-in engine was asked, one call per line (fields TAB-separated).
  std::vector<std::string> EngineCalls() const {
    return FileLines(Path() / "LarkRemoteStreamer.calls", "\n");
  }

 private:
  TempDir dir_{"lark-host-"};
};

}  // namespace lark::test
