#pragma once

#include <filesystem>

namespace LarkParent {

// The folder of the module (program or DLL) that holds `address`, or of the process's program
// when it is null; empty if the system cannot say. A plug-in DLL passes the address of one of
// its own functions to find the host installed beside it. Windows only.
std::filesystem::path ModuleFolder(const void* address = nullptr);

}  // namespace LarkParent
