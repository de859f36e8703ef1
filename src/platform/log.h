#pragma once

#include <string_view>

namespace tivra::platform {

// The debug trace channel: off unless --verbose, one line per trace on standard error.
void setDebugLog(bool enabled);
bool debugLogEnabled();
void debugTrace(std::string_view text);
// A line on standard error whatever the debug setting: conditions the user should hear of.
void warn(std::string_view text);

}  // namespace tivra::platform
