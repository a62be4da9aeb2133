#pragma once

#include <functional>
#include <optional>
#include <string_view>

#include "common/json_document.hpp"

namespace dapplewick {

// A reader that folds the lists held by one key of the top-level object element by element, so that a long list
// costs one element of memory rather than a tree of all of them.
struct ListFold {
  std::string_view key;
  // A list under `key` begins (again each time the key repeats).
  std::function<void()> begin;
  // Its next element, as soon as it has been read. The document keeps the list, empty.
  std::function<void(Json&& element)> element;
};
// parseJsonOrNothing with `fold` applied. Values handed to it do not count towards kMaxJsonValues once folded. Built
// by the document builder itself (json_document.cpp).
std::optional<Json> parseJsonOrNothing(std::string_view body, const ListFold& fold);

}  // namespace dapplewick
