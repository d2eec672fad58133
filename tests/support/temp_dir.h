#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>

namespace lark::test {

// A fresh folder under the system's temporary folder, removed with everything in it. Test
// processes run side by side, so its name ends in a random number.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix) {
    std::random_device random;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      std::filesystem::path candidate =
          std::filesystem::temp_directory_path() / (prefix + std::to_string(random()));
      if (std::filesystem::create_directory(candidate)) path_ = candidate;
    }
    EXPECT_FALSE(path_.empty()) << "no temporary folder";
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace lark::test
