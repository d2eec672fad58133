#pragma once

#include <filesystem>

#include "parent/module_folder.h"

namespace lark::test {

// The folder of the running test binary, where the build puts the host, the stand-in engine
// and the tools.
inline std::filesystem::path BinDirectory() {
  return LarkParent::ModuleFolder();
}

}  // namespace lark::test
