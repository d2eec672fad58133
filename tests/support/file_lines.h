#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace lark::test {

// The lines of a file, split at `end`; none when it does not exist.
inline std::vector<std::string> FileLines(const std::filesystem::path& file, std::string_view end) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  const std::string text = content.str();
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t stop = text.find(end, start);
    if (stop == std::string::npos) stop = text.size();
    lines.push_back(text.substr(start, stop - start));
    start = stop + end.size();
  }
  return lines;
}

// The messages of a log file: its CR LF lines without the "2024-03-02 09:05:03.007 " stamps.
inline std::vector<std::string> LogMessages(const std::filesystem::path& file) {
  constexpr std::size_t kStampWidth = 24;
  std::vector<std::string> messages = FileLines(file, "\r\n");
  for (std::string& line : messages) line.erase(0, std::min(kStampWidth, line.size()));
  return messages;
}

}  // namespace lark::test
