// The binaries of this build as a release ships them, read as files: hardened for the loader,
// needing no DLL that does not come with Windows, and carrying their resources.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "support/bin_directory.h"

namespace {

using lark::test::BinDirectory;

// A PE image's bytes. Every read is bounds-checked: one past the end yields zero and marks the
// image damaged, so a truncated file fails the test instead of crashing it.
class PeImage {
 public:
  explicit PeImage(std::vector<unsigned char> bytes) : bytes_(std::move(bytes)) {
    const uint64_t pe = Read(0x3C, 4);
    optional_ = pe + 24;
    // "MZ", "PE\0\0", PE32+
    if (Read(0, 2) != 0x5A4D || Read(pe, 4) != 0x4550 || Read(optional_, 2) != 0x20B) {
      damaged_ = true;
      return;
    }
    const uint64_t sections = Read(pe + 6, 2);
    const uint64_t sectionTable = optional_ + Read(pe + 20, 2);
    for (uint64_t i = 0; i < sections; ++i) {
      const uint64_t s = sectionTable + i * 40;
      sections_.push_back(
          {Read(s + 12, 4), std::max(Read(s + 8, 4), Read(s + 16, 4)), Read(s + 20, 4)});
    }
  }

  bool Damaged() const { return damaged_; }
  uint64_t DllCharacteristics() const { return Read(optional_ + 70, 2); }

  // The DLLs named by the import and the delay-import tables.
  std::vector<std::string> ImportedDlls() const {
    struct Table {
      int directory;
      uint64_t entrySize, nameField;
    };
    std::vector<std::string> dlls;
    for (const Table& table : {Table{1, 20, 12}, Table{13, 32, 4}}) {
      const uint64_t start = Directory(table.directory);
      if (start == 0) continue;
      for (uint64_t entry = FileOffset(start); !damaged_; entry += table.entrySize) {
        const uint64_t name = Read(entry + table.nameField, 4);
        if (name == 0) break;
        dlls.push_back(String(FileOffset(name)));
      }
    }
    return dlls;
  }

  // Whether the resource tree holds an entry of this type and id, in any language.
  bool HasResource(uint64_t type, uint64_t id) const {
    const uint64_t root = Directory(2);
    if (root == 0) return false;
    const uint64_t base = FileOffset(root);
    const uint64_t types = Subdirectory(base, base, type);
    return types != 0 && Subdirectory(base, types, id) != 0;
  }

 private:
  struct Section {
    uint64_t rva, size, file;
  };

  uint64_t Read(uint64_t offset, int size) const {
    if (offset > bytes_.size() || static_cast<uint64_t>(size) > bytes_.size() - offset) {
      damaged_ = true;
      return 0;
    }
    uint64_t value = 0;
    for (int i = size - 1; i >= 0; --i) value = value << 8 | bytes_[offset + i];
    return value;
  }

  std::string String(uint64_t offset) const {
    std::string text;
    for (char c; !damaged_ && (c = static_cast<char>(Read(offset++, 1))) != '\0';) text += c;
    return text;
  }

  // The RVA of a data directory, or 0 when it is absent.
  uint64_t Directory(int index) const {
    if (static_cast<uint64_t>(index) >= Read(optional_ + 108, 4)) return 0;
    return Read(optional_ + 112 + 8 * static_cast<uint64_t>(index), 4);
  }

  uint64_t FileOffset(uint64_t rva) const {
    for (const Section& s : sections_)
      if (rva >= s.rva && rva - s.rva < s.size) return s.file + (rva - s.rva);
    damaged_ = true;
    return bytes_.size();
  }

  // The file offset of the subdirectory that the resource directory at `directory` has for
  // `id`, or 0. Offsets in the tree count from its root.
  uint64_t Subdirectory(uint64_t root, uint64_t directory, uint64_t id) const {
    const uint64_t entries = Read(directory + 12, 2) + Read(directory + 14, 2);
    for (uint64_t i = 0; i < entries && !damaged_; ++i) {
      const uint64_t entry = directory + 16 + 8 * i;
      const uint64_t target = Read(entry + 4, 4);
      if (Read(entry, 4) == id && (target & 0x80000000u) != 0) return root + (target & 0x7FFFFFFFu);
    }
    return 0;
  }

  std::vector<unsigned char> bytes_;
  uint64_t optional_ = 0;
  std::vector<Section> sections_;
  mutable bool damaged_ = false;
};

// What the binaries import today, all of it part of Windows. A MinGW runtime DLL
// (libstdc++-6.dll, libgcc_s_seh-1.dll, libwinpthread-1.dll) is what this keeps out.
bool IsSystemDll(std::string name) {
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  static const char* const kSystem[] = {
      "kernel32.dll", "user32.dll", "ole32.dll", "oleaut32.dll", "advapi32.dll",
      "psapi.dll",    "msvcrt.dll", "ntdll.dll", "shell32.dll",  "dbghelp.dll",
      "ucrtbase.dll", "ws2_32.dll", "bcrypt.dll"};
  return name.rfind("api-ms-win-", 0) == 0 ||
         std::find(std::begin(kSystem), std::end(kSystem), name) != std::end(kSystem);
}

constexpr uint64_t kDynamicBase = 0x0040, kNxCompat = 0x0100, kHighEntropyVa = 0x0020;
constexpr uint64_t kRtVersion = 16, kRtManifest = 24, kFirstId = 1;

struct Shipped {
  const char* file;
  bool manifest;
};

void PrintTo(const Shipped& shipped, std::ostream* out) {
  *out << shipped.file;
}

class ShippedBinary : public testing::TestWithParam<Shipped> {};

TEST_P(ShippedBinary, IsHardenedNeedsOnlyWindowsDllsAndCarriesItsResources) {
  const std::filesystem::path path = BinDirectory() / GetParam().file;
  std::ifstream in(path, std::ios::binary);
  ASSERT_TRUE(in) << path;
  PeImage image({std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()});
  std::printf("%-24s %9llu bytes\n", GetParam().file,
              static_cast<unsigned long long>(std::filesystem::file_size(path)));

  const uint64_t flags = image.DllCharacteristics();
  EXPECT_TRUE(flags & kDynamicBase) << "no DYNAMIC_BASE";
  EXPECT_TRUE(flags & kNxCompat) << "no NX_COMPAT";
  EXPECT_TRUE(flags & kHighEntropyVa) << "no HIGH_ENTROPY_VA";
  for (const std::string& dll : image.ImportedDlls())
    EXPECT_TRUE(IsSystemDll(dll)) << "imports " << dll;
  EXPECT_TRUE(image.HasResource(kRtVersion, kFirstId)) << "no version resource";
  if (GetParam().manifest) {
    EXPECT_TRUE(image.HasResource(kRtManifest, kFirstId)) << "no application manifest";
  }
  EXPECT_FALSE(image.Damaged()) << "not a whole PE32+ image";
}

INSTANTIATE_TEST_SUITE_P(Release, ShippedBinary,
                         testing::Values(Shipped{"LarkRemoteHost.exe", true},
                                         Shipped{"larkhostctl.exe", false},
                                         Shipped{"LarkRemoteStreamer.dll", false}),
                         [](const testing::TestParamInfo<Shipped>& param) {
                           std::string name = param.param.file;
                           std::replace(name.begin(), name.end(), '.', '_');
                           return name;
                         });

}  // namespace
