#pragma once

#include <string>

#include "app/settings.h"

namespace tivra::app {

// The document handed to the globe at start-up: the start view, the logo and the network link
// that asks the server for a new overlay after every view change.
std::string buildEntryDocument(const MainSettings& settings);

}  // namespace tivra::app
