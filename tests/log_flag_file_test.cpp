#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

#include "logging/flag_file.h"
#include "support/log_test_support.h"

namespace LarkLogging {
namespace {

using lark::test::TempLogDir;
using lark::test::WriteBytes;
using namespace std::string_literals;

std::string Utf16(std::string_view ascii) {
  std::string bytes = "\xFF\xFE";
  for (char c : ascii) {
    bytes += c;
    bytes += '\0';
  }
  return bytes;
}

TEST(FlagFile, OnlyTheExactByteSequenceSwitchesLoggingOn) {
  struct Case {
    const char* what;
    std::string content;
    bool on;
  };
  const Case cases[] = {
      {"empty", "", false},
      {"exactly the keyword", "logfile_on", true},
      {"a value after it", "logfile_on=0", true},
      {"behind a comment sign", "# logfile_on\r\n", true},
      {"among other bytes, a zero byte included", "a\0b logfile_on\xFF"s, true},
      {"far into a large file", std::string(100000, '\0') + "logfile_on", true},
      {"in capitals", "LOGFILE_ON", false},
      {"a space for the underscore", "logfile on", false},
      {"saved as UTF-16", Utf16("logfile_on"), false},
      {"shorter than the keyword", "logfile_o", false},
      {"only events_off", "events_off", false},
  };
  std::vector<Case> all(std::begin(cases), std::end(cases));
  // Split across the 4096-byte pieces the file is read in, at every point of the keyword.
  for (std::size_t before = 1; before < 10; ++before)
    all.push_back(
        {"split across a read boundary", std::string(4096 - before, 'x') + "logfile_on", true});
  for (const Case& c : all) {
    TempLogDir dir;
    WriteBytes(dir / "lklogfile.txt", c.content);
    EXPECT_EQ(LoadFlags(dir.narrow()), c.on) << c.what << " (" << c.content.size() << " bytes)";
  }
}

TEST(FlagFile, NoRegularFileMeansOff) {
  TempLogDir dir;
  EXPECT_FALSE(LoadFlags(dir.narrow())) << "no flag file";
  EXPECT_FALSE(LoadFlags(dir.narrow() + "/missing")) << "no directory";

  std::filesystem::create_directory(dir / "lklogfile.txt");
  WriteBytes(dir / "lklogfile.txt" / "logfile_on", "logfile_on");
  EXPECT_FALSE(LoadFlags(dir.narrow())) << "a directory of that name";
}

}  // namespace
}  // namespace LarkLogging
