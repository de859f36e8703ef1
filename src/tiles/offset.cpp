#include "tiles/offset.h"

#include <thread>

#include "platform/text.h"

namespace tivra::tiles {

std::string cellKey(PointE5 position, int level) {
  std::string key;
  platform::appendInteger(key, position.x >> (level + 8));
  key.push_back(',');
  platform::appendInteger(key, position.y >> (level + 8));
  return key;
}

std::optional<PointE5> LookupOffset(const store::LocationMap& map, PointE5 position) {
  for (int level = 0; level < kOffsetLevels; ++level) {
    const auto value = map.find(cellKey(position, level));
    if (!value) continue;
    const std::string_view text = *value;
    const auto comma = text.find(',');
    const std::string_view x = text.substr(0, comma);
    const std::string_view y = comma == std::string_view::npos ? "" : text.substr(comma + 1);
    return PointE5{platform::parseInt(x), platform::parseInt(y)};
  }
  return std::nullopt;
}

bool StoreOffset(store::LocationMap& map, PointE5 position, PointE5 offset, bool overwrite) {
  const std::string value =
      platform::format("%ld,%ld", static_cast<long>(offset.x), static_cast<long>(offset.y));
  for (int level = 0; level < kOffsetLevels; ++level)
    map.insert(cellKey(position, level), value, overwrite);
  return true;
}

std::optional<PointE5> offsetAt(const store::LocationMap* locations, OffsetModel model,
                                PointE5 position) {
  if (locations != nullptr) {
    if (auto found = LookupOffset(*locations, position)) return found;
  }
  if (model == OffsetModel::Gcj02) return gcj02Offset(position);
  return std::nullopt;
}

PointE5 correctOffset(const OffsetContext& context, PointE5 centre,
                      std::chrono::milliseconds pause) {
  MapValues& values = context.values;
  PointE5 offset{values.xoff, values.yoff};
  if (values.autoOffset) {
    if (const auto found = offsetAt(context.locations, context.model, centre)) {
      std::lock_guard lock(context.stateLock);
      values.xoff = found->x;
      values.yoff = found->y;
      if (context.postMapPageRefresh) context.postMapPageRefresh();
      std::this_thread::sleep_for(pause);
      return *found;
    }
    return offset;
  }
  if (context.locations == nullptr) return offset;
  if (values.offsetEdited) {
    StoreOffset(*context.locations, centre, offset, true);
    std::lock_guard lock(context.stateLock);
    values.offsetEdited = false;
  }
  return offset;
}

}  // namespace tivra::tiles
