#include "common/json_read.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <tuple>
#include <type_traits>
#include <vector>

#include "common/json_fold.hpp"
#include "common/json_lenient.hpp"
#include "support/service_world.hpp"

namespace dapplewick {
namespace {

TEST(ParseJson, RejectsInvalidAndTooDeepAndKeepsDocumentOrder) {
  EXPECT_THROW(parseJson("<html>"), DecodingError);
  EXPECT_EQ(parseJsonOrNothing("{"), std::nullopt);
  EXPECT_NO_THROW(parseJson(std::string(256, '[') + std::string(256, ']')));
  EXPECT_THROW(parseJson(std::string(257, '[') + std::string(257, ']')), DecodingError);
  const std::string hostile = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_EQ(parseJsonOrNothing(hostile), std::nullopt);
  // Brackets inside strings do not count towards the depth.
  EXPECT_EQ(parseJson("\"" + std::string(1000, '[') + "\""), Json(std::string(1000, '[')));
  EXPECT_EQ(parseJson(R"({"b":1,"a":2})").begin().key(), "b");
  // No JSON text holds a raw NUL; the parser would stop at it and take what precedes it.
  for (const std::string& nul :
       {std::string("{\"a\":1}\0{\"b\":2}", 15), std::string("123\0", 4), std::string("\"a\0b\"", 5)}) {
    EXPECT_EQ(parseJsonOrNothing(nul), std::nullopt);
    EXPECT_THROW(parseJson(nul), DecodingError);
  }
  EXPECT_EQ(parseJson(R"("a\u0000b")"), Json(std::string("a\0b", 3)));
}

// A body that does not parse is described by what it is, after a byte-order mark and blanks, and never quoted.
TEST(ParseJson, SaysWhetherABodyThatIsNotJsonIsEmptyOrAWebPage) {
  const std::string empty = "the answer is empty, not JSON";
  const std::string page =
      "the answer is a web page, not JSON (a sign-in page when a browser session has expired, or a proxy's page)";
  const std::string invalid = "the answer is not valid JSON";
  const std::string bom = "\xEF\xBB\xBF";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", empty},
      {" \t\r\n", empty},
      {bom, empty},
      {bom + "\n\n", empty},
      {"\f", invalid},
      {"<", page},
      {"<!DOCTYPE html><html><body>Sign in</body></html>", page},
      {bom + " \t\r\n<html>", page},
      {std::string("<html>\0", 7), page},
      {std::string("\0<html>", 7), invalid},
      {std::string("\n\0", 2), invalid},
      {std::string("{\"a\":1}\0", 8), invalid},
      {"{\"a\":", invalid},
      {"[1,2", invalid},
      {"\xEF\xBB<", invalid},
      {"x<html>", invalid},
      {std::string(257, '[') + std::string(257, ']'), "the JSON nests too deeply"},
      {"<" + std::string(257, '['), page},
  };
  for (const auto& [body, want] : cases) {
    try {
      parseJson(body);
      ADD_FAILURE() << "parsed: " << body;
    } catch (const DecodingError& error) {
      EXPECT_EQ(error.what(), want) << body;
    }
  }
  // A byte-order mark and blanks around a document are no fault.
  EXPECT_EQ(parseJson(bom + " {\"a\":1}\r\n"), Json({{"a", 1}}));
}

// Keys are appended as read, and a small object finds a repeated key by a walk, a large one by its index.
TEST(ParseJson, ARepeatedKeyKeepsItsFirstPlaceAndItsLastValue) {
  std::string many, manyWant;
  for (int i = 0; i < 20; ++i) {
    many += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
    manyWant += "\"k" + std::to_string(i) + "\":" + (i == 0 ? "null" : i == 17 ? "\"x\"" : std::to_string(i)) + ",";
  }
  const std::pair<std::string, std::string> cases[] = {
      {R"({"b":1,"a":[{"x":1,"x":2}],"b":{"c":3}})", R"({"b":{"c":3},"a":[{"x":2}]})"},
      {"{" + many + R"("k17":"x","k0":null,"k20":20})", "{" + manyWant + R"("k20":20})"},
  };
  for (const auto& [body, want] : cases) EXPECT_EQ(parseJson(body).dump(), want) << body;
}

// Past the budget a body is neither "not JSON" nor a document: it throws an error of its own, whichever reader.
TEST(ParseJson, ABodyPastTheValueBudgetThrowsItsOwnError) {
  const auto zeros = [](std::size_t count) {  // a list of `count` zeros: one value more
    std::string list = "[0";
    for (std::size_t i = 1; i < count; ++i) list += ",0";
    return list + "]";
  };
  std::size_t folded = 0;
  const ListFold fold{"s", [] {}, [&](Json&&) { ++folded; }};
  const std::string tooMany = "The answer holds more than 250000 values";
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[&] { parseJson(zeros(kMaxJsonValues - 1)); }, "no error"},
      {[&] { parseJson(zeros(kMaxJsonValues)); }, tooMany},
      {[&] { parseJsonOrNothing(R"({"a":1,"b":)" + zeros(kMaxJsonValues) + "}"); }, tooMany},
      // Folded elements count only while they are read; what the document keeps counts on.
      {[&] { parseJsonOrNothing(R"({"s":)" + zeros(kMaxJsonValues + 9) + "}", fold); }, "no error"},
      {[&] { parseJsonOrNothing(R"({"s":[[0,0]],"t":)" + zeros(kMaxJsonValues - 2) + "}", fold); }, tooMany},
  };
  for (const auto& [read, want] : cases) EXPECT_EQ(testing::errorText(read), want);
  static_assert(!std::is_base_of_v<DecodingError, JsonTooLargeError>);
  EXPECT_EQ(folded, kMaxJsonValues + 10);
}

TEST(StrictDecoding, ErrorsNameTheKeyPath) {
  const Json doc = parseJson(R"({"data":{"limit":"x","list":[{"n":1},{"n":1.5}],"flag":1,"z":null},"count":3})");
  const JsonRef root = JsonRef::root(doc);
  struct Case {
    std::function<void()> decode;
    std::string want;
  };
  const Case cases[] = {
      {[&] { root.required<double>("character_count"); }, "missing key \"character_count\""},
      {[&] { root.at("data").required<double>("limit"); }, "expected a number at \"data.limit\""},
      {[&] { root.at("data").required<std::int64_t>("z"); }, "missing key \"data.z\""},
      {[&] { root.at("data").at("list").elements()[1].required<int>("n"); },
       "expected an integer at \"data.list[1].n\""},
      {[&] { root.at("data").required<bool>("flag"); }, "expected a boolean at \"data.flag\""},
      {[&] { root.at("count").elements(); }, "expected an array at \"count\""},
      {[&] { JsonRef::root(Json::array()).required<int>("x"); }, "expected an object at the top level"},
      {[&] { JsonRef::root(parseJson("[[0,[1]]]")).elements()[0].elements()[1].as<bool>(); },
       "expected a boolean at \"[0][1]\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want);
    EXPECT_EQ(testing::errorText(c.decode), c.want);
  }
  EXPECT_EQ(root.at("data").optional<std::int64_t>("z"), std::nullopt);
  EXPECT_EQ(root.optional<std::int64_t>("absent"), std::nullopt);
}

// One value through every reader. The strict and the lenient readers hold integers to the same rules; booleans are no
// numbers but to the lenient number reader; dates are read with milliseconds above 1e10.
TEST(JsonValues, EveryReaderOnTheSameValue) {
  struct Case {
    std::string json;
    std::optional<double> number, lenient;
    std::optional<std::int64_t> integer;
    std::optional<std::string> text;
    std::optional<long long> date;
  };
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  const Case cases[] = {
      {"12.0", 12, 12, 12, {}, 12000},
      {"12.5", 12.5, 12.5, {}, {}, 12500},
      {"1e300", 1e300, 1e300, {}, {}, {}},
      {"true", {}, 1, {}, {}, {}},
      {"{}", {}, {}, {}, {}, {}},
      {R"("  ")", {}, {}, {}, {}, {}},
      {R"(" 12.5\n")", {}, 12.5, {}, "12.5", 12500},
      {R"("NaN")", {}, {}, {}, "NaN", {}},
      {"9223372036854775807", 9223372036854775807.0, 9223372036854775807.0, kMax, {}, {}},
      {"9223372036854775808", 9223372036854775808.0, 9223372036854775808.0, {}, {}, {}},
      {"-9223372036854775808", -9223372036854775808.0, -9223372036854775808.0, kMin, {}, {}},
      {"-9223372036854775808.0", -9223372036854775808.0, -9223372036854775808.0, kMin, {}, {}},
      // An integer written outside 64 bits is no integer, though its nearest float (one step beyond -2^63) is a number.
      {"-9223372036854775809", -9223372036854777856.0, -9223372036854777856.0, {}, {}, {}},
      {"-9223372036854776000", -9223372036854777856.0, -9223372036854777856.0, {}, {}, {}},
      {"18446744073709551616", 18446744073709551616.0, 18446744073709551616.0, {}, {}, {}},
      {"1796576595000", 1796576595000, 1796576595000, 1796576595000, {}, 1796576595000},
      {"1796576595", 1796576595, 1796576595, 1796576595, {}, 1796576595000},
      {R"("1796576595")", {}, 1796576595, {}, "1796576595", 1796576595000},
      {R"(" 2026-12-06T17:03:15.250Z")", {}, {}, {}, "2026-12-06T17:03:15.250Z", 1796576595250},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    const Json value = parseJson(c.json);
    EXPECT_EQ(numberValue(&value), c.number);
    EXPECT_EQ(lenientNumber(&value), c.lenient);
    EXPECT_EQ(integerValue(&value), c.integer);
    EXPECT_EQ(lenientText(&value), c.text);
    EXPECT_EQ(member(&value, "x"), nullptr);
    const auto date = lenientDate(&value, 10'000'000'000);
    EXPECT_EQ(date ? std::optional(date->time_since_epoch().count()) : std::nullopt, c.date);
    if (c.integer) {
      EXPECT_EQ(JsonRef::root(value).as<std::int64_t>(), *c.integer);
    } else {
      EXPECT_THROW(JsonRef::root(value).as<std::int64_t>(), DecodingError);
    }
  }
  EXPECT_THROW(JsonRef::root(Json(true)).as<double>(), DecodingError);
  EXPECT_THROW(JsonRef::root(parseJson("2147483648")).as<int>(), DecodingError);
  EXPECT_FALSE(numberValue(nullptr) || integerValue(nullptr) || lenientNumber(member(nullptr, "x")));
}

// Providers differ in how much of a number sent as text they trim; the grammar after trimming is the strict one.
TEST(JsonValues, NumberOrNumericTextByTrim) {
  using Number = std::optional<double>;
  const Number no;
  // The value, then what it reads as without trimming, trimmed of spaces and tabs, trimmed of all white space.
  const std::vector<std::tuple<std::string, Number, Number, Number>> cases = {
      {"2.5", 2.5, 2.5, 2.5},       {R"("2.5")", 2.5, 2.5, 2.5}, {R"(" 2.5\t")", no, 2.5, 2.5},
      {R"("\n2.5 ")", no, no, 2.5}, {R"(" inf ")", no, no, no},  {R"("0x1A")", no, no, no},
      {"true", no, no, no},         {"null", no, no, no},        {"[1]", no, no, no},
  };
  for (const auto& [json, untrimmed, blanks, all] : cases) {
    const Json value = parseJson(json);
    EXPECT_EQ(numberOrNumericText(&value, NumberTextTrim::none), untrimmed) << json;
    EXPECT_EQ(numberOrNumericText(&value, NumberTextTrim::spacesAndTabs), blanks) << json;
    EXPECT_EQ(numberOrNumericText(&value, NumberTextTrim::whitespace), all) << json;
  }
  EXPECT_EQ(numberOrNumericText(nullptr, NumberTextTrim::none), no);
}

}  // namespace
}  // namespace dapplewick
