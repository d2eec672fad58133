#include "logging/log_files.h"

#include <gtest/gtest.h>

#include <iterator>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "logging/logger.h"
#include "support/log_test_support.h"

namespace LarkLogging {
namespace {

namespace fs = std::filesystem;
using lark::test::FixedClock;
using lark::test::LocalMoment;
using lark::test::ManualClock;
using lark::test::Messages;
using lark::test::ReadBytes;
using lark::test::SetLastWriteTime;
using lark::test::TempLogDir;
using lark::test::WriteBytes;
using namespace std::chrono_literals;

fs::path NarrowPath(const std::string& narrow) {
  return FileSystemPath(narrow).value();
}

// A current log of `size` bytes, all `fill`.
void MakeLog(const TempLogDir& dir, std::uintmax_t size, char fill) {
  WriteBytes(dir / "LarkRemoteStreamer.dat", std::string(size, fill));
}

TEST(Rotation, MovesTheLogAsideOnceItHoldsFourMiB) {
  TempLogDir dir;
  const LogTime now = LocalMoment(2024, 5, 6, 7, 8, 9);
  Logger logger(dir.narrow(), FixedClock(now));
  const fs::path log = dir / "LarkRemoteStreamer.dat";
  const fs::path rotated = NarrowPath(RotatedName(logger.Path(), now));

  MakeLog(dir, 4194303, 'x');
  logger.Write("grows past the limit");
  EXPECT_FALSE(fs::exists(rotated));
  const std::uintmax_t grown = fs::file_size(log);
  EXPECT_GT(grown, 4194304u);
  logger.Write("starts a new log");
  ASSERT_TRUE(fs::exists(rotated));
  EXPECT_EQ(fs::file_size(rotated), grown);
  EXPECT_EQ(Messages(ReadBytes(log)), std::vector<std::string>{"starts a new log"});

  fs::remove(rotated);
  MakeLog(dir, 4194304, 'y');
  logger.Write("after exactly four MiB");
  ASSERT_TRUE(fs::exists(rotated));
  EXPECT_EQ(fs::file_size(rotated), 4194304u);
  EXPECT_EQ(Messages(ReadBytes(log)), std::vector<std::string>{"after exactly four MiB"});
}

TEST(Rotation, RotatedNameIsTheLocalTimeOfTheRotation) {
  const LogTime moment = LocalMoment(2024, 12, 31, 14, 3, 9) + 999ms;
  EXPECT_EQ(RotatedName("C:\\Lark//LarkRemoteStreamer.dat", moment),
            "C:\\Lark//LarkRemoteStreamer.dat_20241231_140309");

  TempLogDir dir;
  Logger logger(dir.narrow(), FixedClock(moment));
  MakeLog(dir, 4194304, 'x');
  logger.Write("line");
  EXPECT_EQ(dir.Names(), (std::set<std::string>{"LarkRemoteStreamer.dat",
                                                "LarkRemoteStreamer.dat_20241231_140309"}));
}

TEST(Rotation, TwoRotationsInOneSecondKeepBothAndAreStillPurged) {
  TempLogDir dir;
  // The real time: the rotated logs' ages below come from their real write times.
  const LogTime now = SystemLogTime();
  ManualClock clock(now);
  Logger logger(dir.narrow(), clock.Reader());
  const std::string base = "LarkRemoteStreamer.dat" + RotatedName("", now);
  const std::string names[3] = {base, base + "_1", base + "_2"};
  for (char fill : {'1', '2', '3'}) {
    MakeLog(dir, 4194304, fill);
    logger.Write("line");
  }
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(fs::exists(dir / names[i])) << names[i];
    EXPECT_EQ(ReadBytes(dir / names[i]).front(), "123"[i]) << names[i];
  }

  clock.Set(now + std::chrono::days(16));
  logger.Write("line");
  EXPECT_EQ(dir.Names(), std::set<std::string>{"LarkRemoteStreamer.dat"});
}

TEST(Purge, DeletesStreamerLogsAndRotatedLogsOlderThanFifteenDays) {
  TempLogDir dir;
  const LogTime now = LocalMoment(2024, 6, 1, 12, 0, 0);
  const LogTime old = now - std::chrono::days(100);
  struct File {
    const char* name;
    LogTime written;
    bool stays;
  };
  const File files[] = {
      {"lrp_streamer.txt", now, false},
      {"lrp_streamer.txt.3", now, false},
      {"LRP_STREAMER.TXT.1", old, true},
      {"old_lrp_streamer.txt", old, true},
      {"LarkRemoteStreamer.dat_20240517_120000", now - std::chrono::days(15), true},
      {"LarkRemoteStreamer.dat_20240517_115959", now - std::chrono::days(15) - 1s, false},
      {"LarkRemoteStreamer.dat_made_by_someone", old, false},
      {"LarkRemoteStreamer.dat", old, true},
      {"lklogfile.txt", old, true},
      {"larkremotestreamer.dat_lower", old, true},
      {"LarkRemoteStreamer.dat.bak", old, true},
      {"copy_LarkRemoteStreamer.dat_1", old, true},
  };
  std::set<std::string> survivors = {"lrp_streamer.txt.d", "LarkRemoteStreamer.dat_dir"};
  for (const File& file : files) {
    WriteBytes(dir / file.name, "x");
    SetLastWriteTime(dir / file.name, file.written);
    if (file.stays) survivors.insert(file.name);
  }
  // Empty, so that deleting them would succeed. MinGW's library cannot date a directory back;
  // there the streamer-log one alone shows that directories are skipped.
  fs::create_directory(dir / "lrp_streamer.txt.d");
  fs::create_directory(dir / "LarkRemoteStreamer.dat_dir");
  std::error_code unsupported;
  fs::last_write_time(dir / "LarkRemoteStreamer.dat_dir", fs::file_time_type::clock::from_sys(old),
                      unsupported);

  ManualClock clock(now);
  Logger logger(dir.narrow(), clock.Reader());
  EXPECT_EQ(dir.Names(), survivors);

  // Every line purges again; one tick past fifteen days is older.
  clock.Set(now + LogTicks(1));
  logger.Write("line");
  EXPECT_FALSE(fs::exists(dir / "LarkRemoteStreamer.dat_20240517_120000"));
  WriteBytes(dir / "lrp_streamer.txt.4", "x");
  logger.Write("line");
  EXPECT_FALSE(fs::exists(dir / "lrp_streamer.txt.4"));
}

TEST(Purge, MissingDirectoryStopsQuietly) {
  TempLogDir dir;
  const std::string missing = dir.narrow() + "/missing";
  Logger logger(missing);
  EXPECT_FALSE(logger.Enabled());
  logger.Write("dropped");
  EXPECT_FALSE(fs::exists(dir / "missing"));
}

// Streamer logs "lrp_streamer.txt.0" to ".29": the pass must delete them whatever it meets
// among them.
void MakeStreamerLogs(const TempLogDir& dir) {
  for (int i = 0; i < 30; ++i) WriteBytes(dir / ("lrp_streamer.txt." + std::to_string(i)), "x");
}

// Only when a streamer log comes after `name` in the listing does a pass that stopped at `name`
// leave one behind. Named "lrp_streamer.txt.15..." it does wherever the listing is sorted.
bool ListedBeforeAStreamerLog(const TempLogDir& dir, const fs::path& name) {
  bool seen = false;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir.path())) {
    if (entry.path().filename() == name) seen = true;
    if (seen && NarrowName(entry.path().filename()).value_or("").starts_with("lrp_streamer")) {
      return true;
    }
  }
  return false;
}

TEST(Purge, SkipsNamesWithoutAnExactNarrowFormAndGoesOn) {
  // The first becomes "lrp_streamer.txt.15l" by best fit; the second has no narrow form at all.
  const fs::path bestFit(u"lrp_streamer.txt.15\u0142");
  const fs::path foreign(u"lrp_streamer.txt.15\u4E2D");
  if (std::is_same_v<fs::path::value_type, char>) GTEST_SKIP() << "names are narrow already";
  if (NarrowName(fs::path(u"\u00E9")) == "\xC3\xA9") GTEST_SKIP() << "the code page is UTF-8";
  TempLogDir dir;
  WriteBytes(dir.path() / bestFit, "x");
  WriteBytes(dir.path() / foreign, "x");
  MakeStreamerLogs(dir);
  ASSERT_TRUE(ListedBeforeAStreamerLog(dir, bestFit));
  ASSERT_TRUE(ListedBeforeAStreamerLog(dir, foreign));
  PurgeOldLogs(dir.narrow(), SystemLogTime());
  EXPECT_TRUE(fs::exists(dir.path() / bestFit));
  EXPECT_TRUE(fs::exists(dir.path() / foreign));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2)
      << "every streamer log after them is deleted too";
}

TEST(Purge, SkipsFilesThatCannotBeDeletedAndGoesOn) {
  TempLogDir dir;
  // Held open by its writer: on Windows that blocks deletion; elsewhere nothing does.
  const std::string held = "lrp_streamer.txt.15held";
  const OpenedFile writer = OpenFile(dir.narrow() + "/" + held, "ab");
  ASSERT_NE(writer, nullptr);
  {
    const std::string probe = dir.narrow() + "/probe";
    const OpenedFile probeWriter = OpenFile(probe, "ab");
    std::error_code error;
    if (fs::remove(NarrowPath(probe), error)) GTEST_SKIP() << "open files can be deleted here";
  }
  fs::remove(dir / "probe");
  MakeStreamerLogs(dir);
  ASSERT_TRUE(ListedBeforeAStreamerLog(dir, held));
  PurgeOldLogs(dir.narrow(), SystemLogTime());
  EXPECT_EQ(dir.Names(), std::set<std::string>{held}) << "every other streamer log is deleted";
}

TEST(CrashDumps, NameIsPrefixLocalTimeProcessIdAndExtensionWhenItFits) {
  const LogTime moment = LocalMoment(2024, 12, 31, 14, 3, 9) + 999ms;
  const std::string expected = "LarkRemoteHost_20241231_140309_4294967295.dmp";
  char name[64];
  for (std::size_t size = 0; size <= expected.size(); ++size)
    EXPECT_EQ(FormatCrashDumpName(moment, 4294967295u, name, size), 0u) << size;
  ASSERT_EQ(FormatCrashDumpName(moment, 4294967295u, name, expected.size() + 1), expected.size());
  EXPECT_EQ(std::string(name), expected);
  ASSERT_NE(FormatCrashDumpName(moment, 7, name, sizeof name), 0u);
  EXPECT_EQ(std::string(name), "LarkRemoteHost_20241231_140309_7.dmp");
}

}  // namespace
}  // namespace LarkLogging
