// "LarkInfo" with a payload full of escaped string literals, valid ones or ones no JSON parser
// takes (which cost a thrown exception each when the log's token mask parsed every literal),
// against a payload of the same size and shape without escapes, all through EngineMethods::LarkInfo
// with the main thread's part run in place against a recording fake engine. With logging off
// the mask is not built at all; with logging on it is one pass over the text, whatever it holds.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "engine/engine_methods.h"
#include "engine/token_mask.h"
#include "support/fake_engine.h"

namespace LarkEngine {
namespace {

using Clock = std::chrono::steady_clock;
using lark::bench::Row;

constexpr int kRounds = 7;
constexpr std::size_t kPayloadBytes = 4 << 20;

// Literals of five characters each in an array beside the session members.
std::string Payload(const std::string& literal) {
  std::string payload = R"({"hWnd":"1","accessToken":"secret","extra":[)";
  while (payload.size() + literal.size() + 4 < kPayloadBytes) payload += '"' + literal + "\",";
  payload.pop_back();
  return payload + "]}";
}

double MedianSeconds(const std::function<void()>& work) {
  std::vector<double> rounds;
  for (int i = 0; i < kRounds; ++i) {
    const Clock::time_point start = Clock::now();
    work();
    rounds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }
  std::sort(rounds.begin(), rounds.end());
  return rounds[rounds.size() / 2];
}

int RunBenchmarks() {
  EngineMethods methods(*lark::test::FakeEngine::Install(), reinterpret_cast<void*>(0x42),
                        [](std::function<std::string()> task) { return task(); });
  const std::string plain = Payload("xxaxx");
  const std::string escaped = Payload(R"(\"a\")");
  const std::string badEscapes = Payload(R"(\qaxx)");
  std::fprintf(stderr, "engine_bench: payloads of %zu bytes, medians of %d rounds\n", plain.size(),
               kRounds);

  std::string result;
  const double infoPlain = MedianSeconds([&] { result = methods.LarkInfo(plain); });
  if (result != "ok") std::fprintf(stderr, "unexpected answer: %s\n", result.c_str());
  Row("LarkInfo, 4 MiB, logging off: escaped literals / plain",
      MedianSeconds([&] { result = methods.LarkInfo(escaped); }), infoPlain, "ms", 1e3, "<= 1.2");
  Row("LarkInfo, 4 MiB, logging off: bad escapes / plain",
      MedianSeconds([&] { result = methods.LarkInfo(badEscapes); }), infoPlain, "ms", 1e3,
      "<= 1.2");

  std::size_t sink = 0;
  const double maskPlain = MedianSeconds([&] { sink += MaskAccessToken(plain).size(); });
  Row("token mask, 4 MiB (logging on): escaped literals / plain",
      MedianSeconds([&] { sink += MaskAccessToken(escaped).size(); }), maskPlain, "ms", 1e3);
  Row("token mask, 4 MiB (logging on): bad escapes / plain",
      MedianSeconds([&] { sink += MaskAccessToken(badEscapes).size(); }), maskPlain, "ms", 1e3);
  return sink == 0;
}

}  // namespace
}  // namespace LarkEngine

int main() {
  return LarkEngine::RunBenchmarks();
}
