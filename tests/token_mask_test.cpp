#include "engine/token_mask.h"

#include <gtest/gtest.h>

#include <utility>

namespace LarkEngine {
namespace {

// Whatever the text, valid JSON or not, no byte of a token's value is left.
TEST(MaskAccessToken, MasksEveryFormOfTheTokenValueAndNothingElse) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"a":"accessToken","accessToken":"x\"y"})", R"({"a":"accessToken","accessToken":"***"})"},
      {R"({"access\u0054oken":"t"})", R"({"access\u0054oken":"***"})"},
      {R"({"accessToken":12,"b":"c"})", R"({"accessToken":***,"b":"c"})"},
      {R"({"accessToken":{"x":["}",1]},"b":2})", R"({"accessToken":***,"b":2})"},
      {R"({"accessToken":{"x":1}junk,"b":2})", R"({"accessToken":***,"b":2})"},
      {R"({"accessToken":{"k":"a\"}b"}})", R"({"accessToken":***})"},
      {R"({"accessToken":["x\"],secret"],"b":2})", R"({"accessToken":***,"b":2})"},
      {R"({"accessToken":"unterminated)", R"({"accessToken":"***)"},
      {R"({"accessToken":"ends in \)", R"({"accessToken":"***)"},
      {R"({'accessToken':'single'})", R"({'accessToken':'***'})"},
      {R"({"accessToken": bare value})", R"({"accessToken": ***})"},
      {R"({accessToken: "bare key"})", R"({accessToken: "***"})"},
      {R"({"accessToken":)", R"({"accessToken":)"},
      {R"({"accessTokens":"kept","x":"accessToken"})",
       R"({"accessTokens":"kept","x":"accessToken"})"},
      {"{", "{"},
      {"", ""},
  };
  for (const auto& [payload, masked] : cases)
    EXPECT_EQ(MaskAccessToken(payload), masked) << payload;
}

}  // namespace
}  // namespace LarkEngine
