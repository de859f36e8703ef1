#include "support/globe_helpers.h"

#include <cstdlib>

namespace tivra::test {

std::vector<double> bboxValues(const std::string& url) {
  std::vector<double> out;
  const std::size_t at = url.find("BBOX=");
  if (at == std::string::npos) return out;
  const std::string rest = url.substr(at + 5);
  std::size_t pos = 0;
  while (pos <= rest.size()) {
    std::size_t comma = rest.find(',', pos);
    if (comma == std::string::npos) comma = rest.size();
    out.push_back(std::strtod(rest.substr(pos, comma - pos).c_str(), nullptr));
    pos = comma + 1;
  }
  return out;
}

globe::Camera cameraAt(double lon, double lat, double range) {
  globe::Camera c;
  c.FocusPointLongitude = lon;
  c.FocusPointLatitude = lat;
  c.Range = range;
  return c;
}

}  // namespace tivra::test
