// Arbitrary "LarkInfo" payloads against a recording fake engine: every one is answered with one
// of the method's result texts, and the log form of the payload is stable.

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "engine/engine_methods.h"
#include "engine/token_mask.h"
#include "support/fake_engine.h"

namespace LarkEngine {

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::set<std::string> kResults = {"ok", "error:invalid_payload",
                                                 "error:create_failed", "error:lark_info_failed"};
  EngineMethods methods(*lark::test::FakeEngine::Install(), reinterpret_cast<void*>(0x42),
                        [](std::function<std::string()> task) { return task(); });
  const std::string payload(reinterpret_cast<const char*>(data), size);
  if (kResults.count(methods.LarkInfo(payload)) == 0) __builtin_trap();
  // Masking touches only token values, so masked text masks to itself.
  const std::string masked = MaskAccessToken(payload);
  if (MaskAccessToken(masked) != masked) __builtin_trap();
  return 0;
}

}  // namespace LarkEngine
