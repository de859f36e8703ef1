#pragma once

// Reading a service's JSON answer with bounds: nesting and the number of items kept.

#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace tivra::search {

// Deeper nesting than any answer of ours has is refused rather than followed.
inline constexpr int kMaxJsonDepth = 32;

struct BoundedJson {
  nlohmann::json value;
  bool cut = false;  // objects past maxItems at itemDepth were dropped while reading
};

// The answer as JSON, keeping at most maxItems objects at nesting depth itemDepth (1: the
// elements of a top-level array; 2: those of an array inside a top-level object). nullopt, with
// error set, when it is not JSON or nests deeper than kMaxJsonDepth.
std::optional<BoundedJson> parseBoundedJson(std::string_view text, int itemDepth,
                                            std::size_t maxItems, std::string& error);

// Members read without trusting their type: nullopt (or empty) when absent or of another type.
std::optional<double> jsonNumber(const nlohmann::json& object, std::string_view key);
std::string jsonString(const nlohmann::json& object, std::string_view key);
// A number written as a JSON string ("39.9087"), as Nominatim writes coordinates; only plain
// decimal text.
std::optional<double> jsonDecimalString(const nlohmann::json& object, std::string_view key);

}  // namespace tivra::search
