#include "common/json_read.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <limits>

#include "support/service_world.hpp"

namespace dapplewick {
namespace {

TEST(ParseJson, RejectsInvalidAndTooDeep) {
  EXPECT_THROW(parseJson("<html>"), DecodingError);
  EXPECT_THROW(parseJson(""), DecodingError);
  EXPECT_EQ(parseJsonOrNothing("{"), std::nullopt);
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_THROW(parseJson(deep), DecodingError);
  EXPECT_EQ(parseJsonOrNothing(deep), std::nullopt);
  // Brackets inside strings do not count towards the depth.
  const std::string inString = "\"" + std::string(1000, '[') + "\"";
  EXPECT_EQ(parseJson(inString), Json(std::string(1000, '[')));
  EXPECT_NO_THROW(parseJson(std::string(256, '[') + std::string(256, ']')));
}

TEST(ParseJson, KeepsDocumentOrder) {
  const Json value = parseJson(R"({"b":1,"a":2})");
  EXPECT_EQ(value.begin().key(), "b");
}

TEST(StrictDecoding, ErrorsNameTheKeyPath) {
  const Json doc = parseJson(R"({"data":{"limit":"x","list":[{"n":1},{"n":1.5}],"flag":1},"count":3})");
  const JsonRef root = JsonRef::root(doc);
  struct Case {
    std::function<void()> decode;
    std::string want;
  };
  const Case cases[] = {
      {[&] { root.required<double>("character_count"); }, "missing key \"character_count\""},
      {[&] { root.at("data").required<double>("limit"); }, "expected a number at \"data.limit\""},
      {[&] { root.at("data").required<std::int64_t>("missing"); }, "missing key \"data.missing\""},
      {[&] { root.at("data").at("list").elements()[1].required<int>("n"); },
       "expected an integer at \"data.list[1].n\""},
      {[&] { root.at("data").required<bool>("flag"); }, "expected a boolean at \"data.flag\""},
      {[&] { root.at("count").elements(); }, "expected an array at \"count\""},
      {[&] { JsonRef::root(Json::array()).required<int>("x"); }, "expected an object at the top level"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want);
    EXPECT_EQ(testing::errorText(c.decode), c.want);
  }
}

TEST(StrictDecoding, IntegersNullsAndOptionals) {
  const Json doc = parseJson(
      R"({"a":5,"b":5.0,"c":5.5,"d":null,"e":true,"f":9223372036854775807,"g":18446744073709551615,"h":1e300})");
  const JsonRef root = JsonRef::root(doc);
  EXPECT_EQ(root.required<std::int64_t>("a"), 5);
  EXPECT_EQ(root.required<std::int64_t>("b"), 5);
  EXPECT_THROW(root.required<std::int64_t>("c"), DecodingError);
  EXPECT_EQ(root.optional<std::int64_t>("d"), std::nullopt);
  EXPECT_EQ(root.optional<std::int64_t>("zz"), std::nullopt);
  EXPECT_THROW(root.required<std::int64_t>("d"), DecodingError);
  EXPECT_THROW(root.required<double>("e"), DecodingError);
  EXPECT_THROW(root.required<std::int64_t>("e"), DecodingError);
  EXPECT_EQ(root.required<std::int64_t>("f"), 9223372036854775807LL);
  EXPECT_THROW(root.required<std::int64_t>("g"), DecodingError);
  EXPECT_THROW(root.required<std::int64_t>("h"), DecodingError);
  EXPECT_THROW(root.required<int>("f"), DecodingError);
  EXPECT_EQ(root.required<double>("c"), 5.5);
}

TEST(LenientReaders, NumbersTextAndDates) {
  const Json doc = parseJson(R"({
    "n": 12.5, "s": " 12.5\n", "t": true, "bad": "NaN", "hex": "0x1A", "inf": "+Inf", "obj": {},
    "text": "  Pro ", "blank": "  ", "num": 5,
    "iso": "2026-12-06T17:03:15.250Z", "isoNoFrac": "2026-12-06T17:03:15Z", "ms": 1796576595000,
    "sec": 1796576595, "secText": "1796576595", "huge": 1e300, "neg": -5
  })");
  const Json* root = &doc;
  EXPECT_EQ(lenientNumber(member(root, "n")), 12.5);
  EXPECT_EQ(lenientNumber(member(root, "s")), 12.5);
  EXPECT_EQ(lenientNumber(member(root, "t")), 1.0);
  EXPECT_EQ(lenientNumber(member(root, "bad")), std::nullopt);
  EXPECT_EQ(lenientNumber(member(root, "hex")), std::nullopt);
  EXPECT_EQ(lenientNumber(member(root, "inf")), std::nullopt);
  EXPECT_EQ(lenientNumber(member(root, "obj")), std::nullopt);
  EXPECT_EQ(lenientNumber(member(root, "absent")), std::nullopt);
  EXPECT_EQ(lenientText(member(root, "text")), "Pro");
  EXPECT_EQ(lenientText(member(root, "blank")), std::nullopt);
  EXPECT_EQ(lenientText(member(root, "num")), std::nullopt);

  constexpr double kMsAbove = 10'000'000'000;
  const auto date = [&](const char* key) { return lenientDate(member(root, key), kMsAbove); };
  const Timestamp instant{std::chrono::milliseconds(1796576595000)};
  EXPECT_EQ(date("iso"), instant + std::chrono::milliseconds(250));
  EXPECT_EQ(date("isoNoFrac"), instant);
  EXPECT_EQ(date("ms"), instant);
  EXPECT_EQ(date("sec"), instant);
  EXPECT_EQ(date("secText"), instant);
  EXPECT_EQ(date("blank"), std::nullopt);
  EXPECT_EQ(date("huge"), std::nullopt);
  EXPECT_EQ(date("neg"), std::nullopt);
  EXPECT_EQ(date("text"), std::nullopt);
  EXPECT_EQ(member(&doc["n"], "x"), nullptr);
}

TEST(JsonValues, ReadNumbersAndExactIntegers) {
  struct Case {
    std::string json;
    std::optional<double> number;
    std::optional<std::int64_t> integer;
  };
  const std::vector<Case> cases = {
      {"12", 12, 12},
      {"-3", -3, -3},
      {"12.0", 12, 12},
      {"12.5", 12.5, std::nullopt},
      {"9223372036854775807", 9223372036854775807.0, 9223372036854775807LL},
      {"9223372036854775808", 9223372036854775808.0, std::nullopt},
      {"-9223372036854775808", -9223372036854775808.0, std::numeric_limits<std::int64_t>::min()},
      {"1e300", 1e300, std::nullopt},
      {"true", std::nullopt, std::nullopt},
      {"\"5\"", std::nullopt, std::nullopt},
      {"null", std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    const Json value = parseJson(c.json);
    EXPECT_EQ(numberValue(&value), c.number);
    EXPECT_EQ(integerValue(&value), c.integer);
  }
  EXPECT_FALSE(numberValue(nullptr));
  EXPECT_FALSE(integerValue(nullptr));
}

}  // namespace
}  // namespace dapplewick
