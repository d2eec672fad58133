#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace lark::test {

// The lines of a text, split at `end`; a last line without `end` is a line too.
inline std::vector<std::string> SplitLines(std::string_view text, std::string_view end) {
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t stop = text.find(end, start);
    if (stop == std::string_view::npos) stop = text.size();
    lines.emplace_back(text.substr(start, stop - start));
    start = stop + end.size();
  }
  return lines;
}

inline std::string FileText(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

// The lines of a file, split at `end`; none when it does not exist.
inline std::vector<std::string> FileLines(const std::filesystem::path& file, std::string_view end) {
  return SplitLines(FileText(file), end);
}

// Every line of a log's text whole: a "2024-03-02 09:05:03.007 " stamp, a message, CR LF.
inline bool LogIsWhole(const std::string& text) {
  constexpr std::string_view kStamp = "0000-00-00 00:00:00.000 ";
  if (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0) return false;
  for (const std::string& line : SplitLines(text, "\r\n")) {
    if (line.size() < kStamp.size() || line.find_first_of("\r\n") != std::string::npos)
      return false;
    for (std::size_t i = 0; i < kStamp.size(); ++i) {
      const bool digit = line[i] >= '0' && line[i] <= '9';
      if (kStamp[i] == '0' ? !digit : line[i] != kStamp[i]) return false;
    }
  }
  return true;
}

// The messages of a log's text: its CR LF lines without their stamps.
inline std::vector<std::string> LogMessagesOf(std::string_view text) {
  constexpr std::size_t kStampWidth = 24;
  std::vector<std::string> messages = SplitLines(text, "\r\n");
  for (std::string& line : messages) line.erase(0, std::min(kStampWidth, line.size()));
  return messages;
}

inline std::vector<std::string> LogMessages(const std::filesystem::path& file) {
  return LogMessagesOf(FileText(file));
}

}  // namespace lark::test
