#pragma once

// The flag file that switches logging on for an installation: "lklogfile.txt" in the log
// directory. Read once, at the logger's creation; never written, created or deleted.

#include <string>
#include <string_view>

namespace LarkLogging {

inline constexpr std::string_view kFlagFileName = "lklogfile.txt";

// True when the flag file in `directory` is a regular file whose bytes contain "logfile_on"
// anywhere (exact and case-sensitive; no syntax, no encoding). Anything else, and any failure,
// is false; it never throws and logs nothing.
bool LoadFlags(const std::string& directory) noexcept;

}  // namespace LarkLogging
