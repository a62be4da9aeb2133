// The one redactor every error text and note of a record goes through: each form a server may echo a secret in,
// whole, in parts and cut at the end, with the ordinary text around it kept.
#include "common/redaction.hpp"

#include <gtest/gtest.h>

namespace dapplewick {
namespace {

// "ab/cd ef+gh=ij" (14 bytes) and the other short ones count only whole; kLong (34 bytes) also in runs of 16, and
// kSixteen, the shortest secret that goes in parts, in runs of 8.
constexpr const char* kLong = "ya29.Xk4/pQ+7wZrT&2mN9vB8cL5hJ3dF6";
constexpr const char* kSixteen = "Q7vX9kLm2pR4tW8z";

TEST(RedactSecrets, EveryFormWholeInPartsAndCut) {
  const std::vector<std::string> secrets = {"ab/cd ef+gh=ij", "sk-\u00e9t\u00e9-SECRET", "~~~?\?\?>>>", "short", kLong,
                                            kSixteen};
  struct Case {
    std::string text, want;
  };
  // clang-format off
  const Case cases[] = {
      // Whole, in each form.
      {"key ab/cd ef+gh=ij!", "key [redacted]!"}, {"KEY AB/CD EF+GH=IJ", "KEY [redacted]"},  // case changed
      {R"({"k":"ab\/cd ef+gh=ij"})", R"({"k":"[redacted]"})"},
      {R"({"k":"\u0061b\/cd\u0020ef\u002Bgh\u003dij"})", R"({"k":"[redacted]"})"},
      {R"({"m":"{\"k\":\"ab\\/cd ef+gh\\u003Dij\"}"})", R"({"m":"{\"k\":\"[redacted]\"}"})"},  // JSON in JSON
      {R"(\\u0061b\\u002Fcd ef+gh=ij)", "[redacted]"},
      {"q=ab%2Fcd+ef%2bgh%3Dij&x=1", "q=[redacted]&x=1"}, {"q=ab%2fcd%20ef+gh=ij", "q=[redacted]"},
      {"q=ab%252Fcd%2520ef%252Bgh%253Dij&x", "q=[redacted]&x"},  // a query inside a query
      {"<p>ab&#47;cd ef+gh&#x3D;ij</p>", "<p>[redacted]</p>"}, {"<p>ab&#X2f;cd ef&#43;gh=ij", "<p>[redacted]"},
      {"ya29.Xk4/pQ+7wZrT&amp;2mN9vB8cL5hJ3dF6 &amp; more", "[redacted] &amp; more"},
      {"sk-\u00e9t\u00e9-SECRET and sk-\\u00e9t\\u00e9-SECRET", "[redacted] and [redacted]"},
      {"YWIvY2QgZWYrZ2g9aWo=.", "[redacted]."},                 // base64 of the secret alone
      {"eGFiL2NkIGVmK2doPWlq", "e[redacted]"},                  // after one byte ("x")
      {"eHlhYi9jZCBlZitnaD1pag==", "eH[redacted]"},             // after two bytes ("xy")
      {"eHlhYi9jZCBlZitnaD1pajEyMw", "eH[redacted]EyMw"},       // unpadded, more data after it
      {"fn5+Pz8/Pj4+ fn5-Pz8_Pj4-", "[redacted] [redacted]"},  // the standard and the URL-safe alphabet
      {"q=eWEyOS5YazQvcFErN3daclQmMm1OOXZCOGNMNWhKM2RGNg%3D%3D&x", "q=[redacted]&x"},  // percent-encoded base64
      // Parts of the long secret: half of it in a message, in a host name, without its prefix; base64 of a part.
      {"error: key Xk4/pQ+7wZrT&2mN is bad", "error: key [redacted] is bad"},
      {"No http://2mn9vb8cl5hj3df6.example\u2026", "No http://[redacted].example\u2026"},
      {"token Xk4%2FpQ%2B7wZrT%262mN9vB8cL5hJ3dF6 expired", "token [redacted] expired"},
      {"id WGs0L3BRKzd3WnJUJjJtTg== ok", "id [redacted] ok"}, {"id WGs0L3BRKzd3WnJUJjJtTjl2Qjhj", "id [redacted]"},
      {"id 9kLm2pR4 ok", "id [redacted] ok"}, {"id 9kLm2pR ok", "id 9kLm2pR ok"},  // half of kSixteen, and less
      // Cut at the end, in any form, inside an escape too; a final "…" stays.
      {"cut at ab/cd e", "cut at [redacted]"}, {"cut at ab%2Fcd%20e%2", "cut at [redacted]"},
      {R"({"k":"ab\/cd e\u00)", R"({"k":"[redacted])"}, {"<p>ab&#47;cd e&#x2", "<p>[redacted]"},
      {"<p>Xk4&#47;pQ&am", "<p>[redacted]"},
      {"q=ya29.Xk4%2FpQ%2", "q=[redacted]"}, {"q=Xk4%252FpQ%25", "q=[redacted]"}, {R"(ya29.Xk4\\u00)", "[redacted]"},
      {"echo: wZrT&2mN9\u2026", "echo: [redacted]\u2026"}, {"Auth: eWEyOS5Ya", "Auth: [redacted]"},
      {"Auth: eWEyOS5YazQvcF\u2026", "Auth: [redacted]\u2026"}, {"Auth: WGs0L3BR", "Auth: [redacted]"},
      // Ordinary text survives: too short, a part of a short secret, a part under the window, a cut under 6 bytes.
      {"a short text", "a short text"}, {"not ab/cd", "not ab/cd"}, {"ab/cd ef+gh=i.", "ab/cd ef+gh=i."},
      {"cut at cd ef+gh", "cut at cd ef+gh"}, {"see Xk4/pQ+7wZrT&2m here", "see Xk4/pQ+7wZrT&2m here"},
      {"code hJ3dF", "code hJ3dF"}, {"percent %2 and \\u00", "percent %2 and \\u00"}, {"<p>a &amp; b", "<p>a &amp; b"},
  };
  // clang-format on
  for (const auto& c : cases) EXPECT_EQ(redactSecrets(c.text, secrets), c.want) << c.text;
}

}  // namespace
}  // namespace dapplewick
