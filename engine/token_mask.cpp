#include "engine/token_mask.h"

#include <cctype>
#include <string_view>
#include <utility>

namespace LarkEngine {

namespace {

constexpr std::string_view kTokenKey = "accessToken";

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Where a value that is not a string literal ends: at what would end it in JSON.
std::size_t BareValueEnd(const std::string& text, std::size_t i) {
  while (i < text.size() && text[i] != ',' && text[i] != '}' && text[i] != ']' && text[i] != '\n' &&
         text[i] != '\r')
    ++i;
  return i;
}

// Where an object or array starting at i ends (one past its closing bracket), skipping string
// literals; the end of the text if it never closes.
std::size_t NestedValueEnd(const std::string& text, std::size_t i) {
  int depth = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"' || c == '\'') {
      for (++i; i < text.size() && text[i] != c; ++i)
        if (text[i] == '\\') ++i;
    } else if (c == '{' || c == '[') {
      ++depth;
    } else if ((c == '}' || c == ']') && --depth == 0) {
      return i + 1;
    }
  }
  return text.size();
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(c | 0x20);
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// The string literal opening at i with its quote: the index of its closing quote (npos when it
// never closes), and whether its text, escapes decoded, is the token's key.
std::pair<std::size_t, bool> ScanLiteral(const std::string& text, std::size_t i) {
  const char quote = text[i];
  std::size_t length = 0;  // characters decoded so far
  bool matches = true;     // and each was the token key's
  for (++i; i < text.size(); ++i) {
    char c = text[i];
    if (c == quote) return {i, matches && length == kTokenKey.size()};
    if (c == '\\' && i + 1 < text.size()) {
      c = text[++i];
      if (c == 'u') {
        int unit = 0;
        for (int digits = 0; digits < 4 && unit >= 0; ++digits) {
          const int digit = i + 1 < text.size() ? HexDigit(text[i + 1]) : -1;
          unit = digit < 0 ? -1 : unit * 16 + digit;
          if (digit >= 0) ++i;
        }
        c = unit > 0 && unit < 0x80 ? static_cast<char>(unit) : '\0';
      }
    }
    matches = matches && length < kTokenKey.size() && kTokenKey[length] == c;
    ++length;
  }
  return {std::string::npos, false};
}

}  // namespace

std::string MaskAccessToken(const std::string& payload) {
  // One pass over the text, valid JSON or not. A key that reads "accessToken" once its escapes
  // are decoded, quoted either way or bare, followed by a colon, has its value replaced by ***:
  // the inside of a string literal (to the end of the text if it never closes), a whole object
  // or array, or anything else up to what would end a value.
  std::string out;
  std::size_t copied = 0;
  const auto mask = [&](std::size_t from, std::size_t to) {
    out.append(payload, copied, from - copied);
    out += "***";
    copied = to;
  };
  bool maskNext = false;  // just after the token key's colon
  std::size_t i = 0;
  while (i < payload.size()) {
    const char c = payload[i];
    if (IsBlank(c)) {
      ++i;
      continue;
    }
    bool isKey = false;
    if (maskNext) {
      maskNext = false;
      if (c == '"' || c == '\'') {
        const std::size_t close = ScanLiteral(payload, i).first;
        mask(i + 1, close == std::string::npos ? payload.size() : close);
        i = close == std::string::npos ? payload.size() : close + 1;
      } else {
        // Whatever follows a closed object or array up to what ends a value goes too, so the
        // masked text masks to itself.
        const std::size_t end =
            BareValueEnd(payload, c == '{' || c == '[' ? NestedValueEnd(payload, i) : i);
        mask(i, end);
        i = end;
      }
      continue;
    }
    if (c == '"' || c == '\'') {
      const auto [close, matches] = ScanLiteral(payload, i);
      if (close == std::string::npos) break;  // nothing after it can be a key
      isKey = matches;
      i = close + 1;
    } else if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
      const std::size_t start = i;
      while (i < payload.size() &&
             (std::isalnum(static_cast<unsigned char>(payload[i])) || payload[i] == '_'))
        ++i;
      isKey = std::string_view(payload).substr(start, i - start) == kTokenKey;
    } else {
      ++i;
      continue;
    }
    if (!isKey) continue;
    std::size_t next = i;
    while (next < payload.size() && IsBlank(payload[next])) ++next;
    if (next < payload.size() && payload[next] == ':') {
      maskNext = true;
      i = next + 1;
    }
  }
  out.append(payload, copied, std::string::npos);
  return out;
}

}  // namespace LarkEngine
