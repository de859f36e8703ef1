#include "search/json_answer.h"

#include <cmath>
#include <stdexcept>

#include "platform/text.h"

namespace tivra::search {

using nlohmann::json;

std::optional<BoundedJson> parseBoundedJson(std::string_view text, int itemDepth,
                                            std::size_t maxItems, std::string& error) {
  BoundedJson out;
  std::size_t items = 0;
  const auto callback = [&](int depth, json::parse_event_t event, json&) {
    if ((event == json::parse_event_t::object_start || event == json::parse_event_t::array_start) &&
        depth > kMaxJsonDepth)
      throw std::length_error("nested too deep");
    if (event == json::parse_event_t::object_end && depth == itemDepth && ++items > maxItems) {
      out.cut = true;
      return false;
    }
    return true;
  };
  try {
    out.value = json::parse(text.begin(), text.end(), callback);
  } catch (const json::exception&) {
    error = "the answer is not JSON";
    return std::nullopt;
  } catch (const std::length_error&) {
    error = "the answer nests deeper than any answer of the service";
    return std::nullopt;
  }
  return out;
}

std::optional<double> jsonNumber(const json& object, std::string_view key) {
  if (!object.is_object()) return std::nullopt;
  const auto it = object.find(key);
  if (it == object.end() || !it->is_number()) return std::nullopt;
  const double v = it->get<double>();
  if (!std::isfinite(v)) return std::nullopt;
  return v;
}

std::string jsonString(const json& object, std::string_view key) {
  if (!object.is_object()) return {};
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return {};
  return it->get<std::string>();
}

std::optional<double> jsonDecimalString(const json& object, std::string_view key) {
  const std::string text = jsonString(object, key);
  std::string_view s = text;
  if (!s.empty() && s.front() == '-') s.remove_prefix(1);
  if (s.empty() || s.size() > 32) return std::nullopt;
  std::size_t points = 0;
  for (const char c : s) {
    if (c == '.') {
      ++points;
    } else if (c < '0' || c > '9') {
      return std::nullopt;
    }
  }
  if (points > 1 || s == ".") return std::nullopt;
  return platform::parseReal(text);
}

}  // namespace tivra::search
