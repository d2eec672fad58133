#pragma once

// A private folder holding a copy of the host and, as asked, of the stand-in engine, with
// logging switched on: one host's log, engine record and single-instance run per test.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
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

// The last line of a host that ended in order, and of one its hang watchdog ended.
inline constexpr char kExitLine[] = R"(\[WinMain\] Exit)";
inline constexpr char kHungEndLine[] = R"(\[HangWatchdog\] Shutdown did not finish within 30 s .*)";

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

  // Starts the host as Launch does and waits until it answers; null when it did not start.
  std::unique_ptr<LarkParent::HostProcess> LaunchAnswering() const {
    std::unique_ptr<LarkParent::HostProcess> host = Launch();
    if (!host) return host;
    host->Connection().Start();
    EXPECT_TRUE(host->Connection().Call(LarkProtocol::kIsRunMethod, "").has_value());
    return host;
  }

  // The host's log messages without their timestamps.
  std::vector<std::string> Log() const { return LogMessages(Path() / LarkLogging::kLogFileName); }
  void ClearLog() const { std::filesystem::remove(Path() / LarkLogging::kLogFileName); }

  // Whether the host ended in order: with the exit code expected, every log line whole and the
  // last one matching `last` as a whole. Otherwise says each thing that was wrong.
  ::testing::AssertionResult EndedInOrder(std::optional<std::uint32_t> exitCode,
                                          std::uint32_t expected = 0,
                                          const std::string& last = kExitLine) const {
    std::string wrong;
    if (exitCode != expected) {
      wrong += "exit code " + (exitCode ? std::to_string(*exitCode) : "none, still running") +
               " (expected " + std::to_string(expected) + "); ";
    }
    const std::vector<std::string> log = Log();
    if (log.empty() || !std::regex_match(log.back(), std::regex(last)))
      wrong +=
          "log does not end in " + last + " but in \"" + (log.empty() ? "" : log.back()) + "\"; ";
    if (!log.empty() && !LogIsWhole(FileText(Path() / LarkLogging::kLogFileName)))
      wrong += "torn log line; ";
    if (wrong.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << wrong;
  }

  // What the stand-in engine was asked, one call per line (fields TAB-separated).
  std::vector<std::string> EngineCalls() const {
    return FileLines(Path() / "LarkRemoteStreamer.calls", "\n");
  }

 private:
  TempDir dir_{"lark-host-"};
};

}  // namespace lark::test
