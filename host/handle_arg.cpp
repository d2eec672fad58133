#include "host/handle_arg.h"

#include <windows.h>

#include <cerrno>
#include <cstdlib>

#include "logging/log.h"

namespace LarkHost {

using LarkLogging::LogLine;

namespace {

constexpr char kParseTag[] = "WinMain::<lambda_1>::operator ()";

}  // namespace

AnonRpc::PipeHandle ParseHandleArg(const char* text, const char* name) {
  if (text == nullptr || *text == '\0') {
    LogLine(kParseTag, "Empty handle arg for ", name);
    return AnonRpc::kInvalidPipe;
  }
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  const bool valid = errno == 0 && end != text && *end == '\0';
  if (valid && value != 0) return static_cast<AnonRpc::PipeHandle>(value);
  if (valid) {
    LogLine(kParseTag, "Zero handle arg for ", name);
  } else {
    LogLine(kParseTag, "Invalid handle arg for ", name, " : ", text);
  }
  return AnonRpc::kInvalidPipe;
}

}  // namespace LarkHost
