#include "app/entry_document.h"

#include "globe/view_format.h"
#include "platform/http_response.h"
#include "platform/text.h"

namespace tivra::app {

using platform::format;

std::string buildEntryDocument(const MainSettings& s) {
  std::string kml;
  kml.reserve(2048);
  kml.append(platform::kXmlDeclaration).append(platform::kKml20Root);
  kml.append("<Document><name>Tivra</name>\n<visibility>1</visibility>\n<open>1</open>\n");
  kml.append("<LookAt>\n");
  kml.append(format("<longitude>%f</longitude>\n", s.cameraLongitude));
  kml.append(format("<latitude>%f</latitude>\n", s.cameraLatitude));
  kml.append(format("<range>%f</range>\n", s.cameraRange));
  kml.append("<tilt>0</tilt>\n<heading>0</heading>\n</LookAt>\n");
  kml.append("<ScreenOverlay>\n<name>Tivra Tag</name>\n<Icon>\n");
  const std::string base = platform::localBaseUrl(s.tcpPort);
  kml.append("<href>").append(base).append("/ImageServer/F00/logo.png</href>\n");
  kml.append("</Icon>\n");
  kml.append("<overlayXY x=\"1\" y=\"0\" xunits=\"pixel\" yunits=\"pixel\"/>\n");
  kml.append("<screenXY x=\"0.9\" y=\"0.1\" xunits=\"fraction\" yunits=\"fraction\"/>\n");
  kml.append("<rotation>0</rotation>\n");
  kml.append(" <size x=\"0\" y=\"0\" xunits=\"pixels\" yunits=\"pixels\"/>\n");
  kml.append("</ScreenOverlay>\n");
  kml.append("<NetworkLink>\n<name>Tivra Overlay</name>\n");
  kml.append(
      "<description><![CDATA[<a href=\"https://tivra.org/\">中国人用的Google Earth插件</a>]]>"
      "</description>\n");
  kml.append("<Url>\n");
  kml.append("<href>").append(base).append("/KmlServer?</href>\n");
  kml.append("  <refreshMode>onInterval</refreshMode>\n");
  kml.append("  <refreshInterval>3</refreshInterval>\n");
  kml.append("  <viewRefreshMode>onStop</viewRefreshMode>\n");
  kml.append("  <viewRefreshTime>2</viewRefreshTime>\n");
  kml.append("    <viewFormat>").append(globe::overlayViewFormat()).append("</viewFormat>\n");
  kml.append("  </Url>\n</NetworkLink>\n");
  kml.append("</Document>\n").append(platform::kKmlEnd);
  return kml;
}

}  // namespace tivra::app
