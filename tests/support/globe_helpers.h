#pragma once

#include <string>
#include <vector>

#include "globe/earth.h"

namespace tivra::test {

// The 13 numbers after "BBOX=" in a view-refresh URL; empty without "BBOX=".
std::vector<double> bboxValues(const std::string& url);

// A camera looking straight down at (lon, lat) from range metres.
globe::Camera cameraAt(double lon, double lat, double range);

}  // namespace tivra::test
