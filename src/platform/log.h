#pragma once

#include <string_view>

namespace tivra::platform {

// The debug trace channel: off unless --verbose, one line per trace on standard error.
void setDebugLog(bool enabled);
bool debugLogEnabled();
void debugTrace(std::string_view text);

}  // namespace tivra::platform
