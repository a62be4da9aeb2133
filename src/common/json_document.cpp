#include "common/json_document.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include <nlohmann/detail/input/json_sax.hpp>

#include "common/json_fold.hpp"

namespace dapplewick {
namespace {

// Builds the document from the parser's events. nlohmann's own builder looks every key up by a walk over the
// object's members, and its callback variant walks the parent's members each time an object ends; both are
// quadratic in a dense body. Here a key is appended at once, and an object past a few members gets a hash index
// of its keys while it is open, so that a repeated key still keeps its first place and its last value.
//
// An integer written outside 64 bits becomes a float, and below INT64_MIN the nearest float is -2^63 itself, which
// an integer reader would take as INT64_MIN. Such a value is moved one step further from zero (a relative change of
// 2^-52), so that every integer reader refuses it while a reader of numbers still sees the figure.
class DocumentBuilder {
 public:
  DocumentBuilder(Json& root, const ListFold* fold) : root_(root), fold_(fold) {}

  bool tooLarge() const { return tooLarge_; }

  bool null() { return place(nullptr) != nullptr; }
  bool boolean(bool value) { return place(value) != nullptr; }
  bool number_integer(Json::number_integer_t value) { return place(value) != nullptr; }
  bool number_unsigned(Json::number_unsigned_t value) { return place(value) != nullptr; }
  bool number_float(double value, const std::string& text) {
    const bool integerText = text.find_first_of(".eE") == std::string::npos;
    if (integerText && value == -9223372036854775808.0) value = std::nextafter(value, -HUGE_VAL);
    return place(value) != nullptr;
  }
  bool string(std::string& value) { return place(std::move(value)) != nullptr; }
  bool binary(Json::binary_t& value) { return place(Json::binary(std::move(value))) != nullptr; }

  bool start_object(std::size_t /*size*/) { return open(Json::value_t::object); }
  bool start_array(std::size_t /*size*/) { return open(Json::value_t::array); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }

  bool key(std::string& name) {
    Open& object = open_.back();
    auto& members = static_cast<Members&>(object.value->get_ref<Json::object_t&>());
    // The value of the folded key of the top-level object is folded when it is a list.
    object.folding = fold_ != nullptr && open_.size() == 1 && name == fold_->key;
    object.member = nullptr;
    if (object.index) {
      if (const auto found = object.index->find(name); found != object.index->end()) {
        object.member = &members[found->second].second;
      }
    } else {
      const auto found =
          std::find_if(members.begin(), members.end(), [&](const auto& known) { return known.first == name; });
      if (found != members.end()) object.member = &found->second;
    }
    if (object.member != nullptr) return true;
    if (object.index) object.index->emplace(name, members.size());
    members.emplace_back(std::move(name), nullptr);
    object.member = &members.back().second;
    if (!object.index && members.size() >= kIndexedFrom) {
      object.index = std::make_unique<std::unordered_map<std::string, std::size_t>>();
      for (std::size_t i = 0; i < members.size(); ++i) object.index->emplace(members[i].first, i);
    }
    return true;
  }

  bool parse_error(std::size_t /*position*/, const std::string& /*token*/, const nlohmann::detail::exception&) {
    return false;
  }

 private:
  using Members = Json::object_t::Container;
  // Below this many members a key is found by a walk, which is quicker than hashing for the objects of most bodies.
  static constexpr std::size_t kIndexedFrom = 16;

  struct Open {
    Json* value;
    Json* member = nullptr;  // of an object, set by each key: where the value after it goes; a list has none
    std::unique_ptr<std::unordered_map<std::string, std::size_t>> index{};
    bool folding = false;     // the top-level object, after the folded key; a list, whose elements are folded
    std::size_t counted = 0;  // of a folded list: the values counted before its element
  };

  // Puts `value` where the next value goes and gives its place, or nullptr past the budget.
  template <class Value>
  Json* place(Value&& value) {
    if (++values_ > kMaxJsonValues) {
      tooLarge_ = true;
      return nullptr;
    }
    if (open_.empty()) {
      root_ = Json(std::forward<Value>(value));
      return &root_;
    }
    Open& parent = open_.back();
    if (parent.member != nullptr) {
      *parent.member = Json(std::forward<Value>(value));
      return parent.member;
    }
    auto& elements = parent.value->get_ref<Json::array_t&>();
    if (parent.folding) parent.counted = values_ - 1;
    elements.emplace_back(std::forward<Value>(value));
    Json* placed = &elements.back();
    if (parent.folding && !placed->is_structured()) foldLast();
    return placed;
  }

  bool open(Json::value_t type) {
    const bool folded = type == Json::value_t::array && open_.size() == 1 && open_.back().folding;
    Json* placed = place(type);
    if (placed == nullptr) return false;
    open_.push_back({placed});
    if (folded) {
      open_.back().folding = true;
      if (fold_->begin) fold_->begin();
    }
    return true;
  }

  bool close() {
    open_.pop_back();
    if (!open_.empty() && open_.back().folding && open_.back().value->is_array()) foldLast();
    return true;
  }

  // Hands the last element of the folded list on and drops it; its values no longer count.
  void foldLast() {
    Open& list = open_.back();
    auto& elements = list.value->get_ref<Json::array_t&>();
    Json element = std::move(elements.back());
    elements.pop_back();
    values_ = list.counted;
    fold_->element(std::move(element));
  }

  Json& root_;
  const ListFold* fold_;
  std::vector<Open> open_;
  std::size_t values_ = 0;
  bool tooLarge_ = false;
};

// Nothing for a body that is not JSON: it holds a raw NUL (which no JSON text holds; the parser would stop there
// and drop the rest), nests too deeply, or does not parse.
std::optional<Json> parseDocument(std::string_view body, const ListFold* fold) {
  if (body.find('\0') != std::string_view::npos || nestsTooDeeply(body)) return std::nullopt;
  Json value;
  DocumentBuilder builder(value, fold);
  const bool parsed = Json::sax_parse(body.begin(), body.end(), &builder);
  if (builder.tooLarge()) throw JsonTooLargeError();
  if (!parsed) return std::nullopt;
  return value;
}

}  // namespace

// Refuses nesting deeper than the limit before the parser sees it, so no later walk or dump can recurse without
// bound.
bool nestsTooDeeply(std::string_view body) {
  int depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < body.size(); ++i) {
    const char c = body[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxJsonDepth) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

JsonTooLargeError::JsonTooLargeError()
    : std::runtime_error("The answer holds more than " + std::to_string(kMaxJsonValues) + " values") {}

std::optional<Json> parseJsonOrNothing(std::string_view body) { return parseDocument(body, nullptr); }

// The fold lives in the builder's placing of values, which hands each element of the list on as soon as it is read.
std::optional<Json> parseJsonOrNothing(std::string_view body, const ListFold& fold) {
  return parseDocument(body, &fold);
}

void appendNewMember(Json& object, std::string key, Json value) {
  static_cast<Json::object_t::Container&>(object.get_ref<Json::object_t&>())
      .emplace_back(std::move(key), std::move(value));
}

}  // namespace dapplewick
