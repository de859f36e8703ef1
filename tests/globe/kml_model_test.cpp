#include "globe/kml_model.h"

#include <gtest/gtest.h>

namespace tivra::globe {
namespace {

constexpr const char* kEntryDocument =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<kml xmlns=\"http://earth.google.com/kml/2.0\">\n"
    "<Document><name>Tivra</name>\n<visibility>1</visibility>\n<open>1</open>\n"
    "<LookAt>\n<longitude>116.400000</longitude>\n<latitude>39.900000</latitude>\n"
    "<range>3000.000000</range>\n<tilt>0</tilt>\n<heading>0</heading>\n</LookAt>\n"
    "<ScreenOverlay>\n<name>Tivra Tag</name>\n<Icon>\n"
    "<href>http://localhost:11000/ImageServer/F00/logo.png</href>\n</Icon>\n"
    "<overlayXY x=\"1\" y=\"0\" xunits=\"pixel\" yunits=\"pixel\"/>\n"
    "<screenXY x=\"0.9\" y=\"0.1\" xunits=\"fraction\" yunits=\"fraction\"/>\n"
    "<rotation>0</rotation>\n <size x=\"0\" y=\"0\" xunits=\"pixels\" yunits=\"pixels\"/>\n"
    "</ScreenOverlay>\n"
    "<NetworkLink>\n<name>Tivra Overlay</name>\n"
    "<description><![CDATA[<a href=\"http://example.invalid/\">x</a>]]></description>\n"
    "<Url>\n<href>http://localhost:11000/KmlServer?</href>\n"
    "  <refreshMode>onInterval</refreshMode>\n  <refreshInterval>3</refreshInterval>\n"
    "  <viewRefreshMode>onStop</viewRefreshMode>\n  <viewRefreshTime>2</viewRefreshTime>\n"
    "    <viewFormat>BBOX=[bboxWest],[bboxSouth],[bboxEast],[bboxNorth],[lookatLon],[lookatLat],"
    "[lookatRange],[lookatTilt],[lookatHeading],[horizFov],[vertFov],[horizPixels],[vertPixels]"
    "</viewFormat>\n  </Url>\n</NetworkLink>\n</Document>\n</kml>\n";

TEST(KmlModel, ReadsTheEntryDocument) {
  const ParsedKml kml = parseKml(kEntryDocument, "");
  ASSERT_EQ(kml.features.size(), 1u);
  const KmlNode& doc = *kml.features[0];
  EXPECT_EQ(doc.kind, FeatureKind::Document);
  EXPECT_EQ(doc.name, "Tivra");
  ASSERT_TRUE(doc.lookAt);
  EXPECT_DOUBLE_EQ(doc.lookAt->longitude, 116.4);
  EXPECT_DOUBLE_EQ(doc.lookAt->range, 3000.0);
  ASSERT_EQ(doc.children.size(), 2u);
  const KmlNode& tag = *doc.children[0];
  EXPECT_EQ(tag.kind, FeatureKind::ScreenOverlay);
  EXPECT_EQ(tag.iconHref, "http://localhost:11000/ImageServer/F00/logo.png");
  const KmlNode& link = *doc.children[1];
  EXPECT_EQ(link.name, "Tivra Overlay");
  ASSERT_TRUE(link.link);
  EXPECT_EQ(link.link->href, "http://localhost:11000/KmlServer?");
  EXPECT_EQ(link.link->refreshMode, RefreshMode::OnInterval);
  EXPECT_DOUBLE_EQ(link.link->refreshInterval, 3.0);
  EXPECT_EQ(link.link->viewRefreshMode, ViewRefreshMode::OnStop);
  EXPECT_DOUBLE_EQ(link.link->viewRefreshTime, 2.0);
  ASSERT_TRUE(link.link->viewFormat);
  EXPECT_TRUE(link.link->viewFormat->starts_with("BBOX=[bboxWest],"));
  EXPECT_TRUE(link.visibility);
}

TEST(KmlModel, ReadsOverlaysPlacemarksAndHiddenFeatures) {
  const ParsedKml kml = parseKml(
      "<kml><visibility>1</visibility><Folder><name>Map</name>"
      "<GroundOverlay><name>Map 1/4/5</name><color>7fffffff</color>"
      "<Icon><href>img/t.png</href></Icon><LatLonBox><north>40.5</north><south>39.5</south>"
      "<east>117</east><west>116</west></LatLonBox></GroundOverlay>"
      "<Placemark id='P'><visibility>0</visibility><Style><IconStyle><Icon><href>i.png</href>"
      "</Icon></IconStyle></Style><MultiGeometry><Point><coordinates>1,2,3</coordinates></Point>"
      "<LineString><coordinates>1,2 3,4,5</coordinates></LineString></MultiGeometry></Placemark>"
      "<Unknown><Placemark/></Unknown></Folder></kml>",
      "http://h:9/dir/doc.kml");
  ASSERT_EQ(kml.features.size(), 1u);
  const KmlNode& folder = *kml.features[0];
  ASSERT_EQ(folder.children.size(), 2u);  // nothing read from inside the unknown element
  const KmlNode& overlay = *folder.children[0];
  EXPECT_EQ(overlay.color, 0x7fffffffu);
  EXPECT_EQ(overlay.iconHref, "http://h:9/dir/img/t.png");
  ASSERT_TRUE(overlay.box);
  EXPECT_DOUBLE_EQ(overlay.box->north, 40.5);
  EXPECT_DOUBLE_EQ(overlay.box->west, 116.0);
  const KmlNode& mark = *folder.children[1];
  EXPECT_EQ(mark.id, "P");
  EXPECT_FALSE(mark.visibility);
  EXPECT_EQ(mark.iconHref, "http://h:9/dir/i.png");
  ASSERT_EQ(mark.points.size(), 1u);
  EXPECT_DOUBLE_EQ(mark.points[0].alt, 3.0);
  ASSERT_EQ(mark.lines.size(), 1u);
  ASSERT_EQ(mark.lines[0].size(), 2u);
  EXPECT_DOUBLE_EQ(mark.lines[0][1].lon, 3.0);
}

TEST(KmlModel, ReadsUpdatesAndAppliesChanges) {
  ParsedKml kml = parseKml(
      "<kml xmlns='http://earth.google.com/kml/2.1'><NetworkLinkControl><Update>"
      "<targetHref>http://localhost:1/GPSServer/1.kml</targetHref>"
      "<Create><Folder targetId='TrackPoints'><Placemark id='Point3'><name>Point3</name>"
      "</Placemark></Folder></Create>"
      "<Change><Placemark targetId='Car'><Model><Location><longitude>5</longitude>"
      "<latitude>6</latitude><altitude>7</altitude></Location><Orientation>"
      "<heading>90</heading></Orientation></Model></Placemark></Change>"
      "<Delete><Placemark targetId='Old'/></Delete>"
      "</Update></NetworkLinkControl></kml>",
      "");
  ASSERT_EQ(kml.updates.size(), 1u);
  KmlUpdate& u = kml.updates[0];
  EXPECT_EQ(u.targetHref, "http://localhost:1/GPSServer/1.kml");
  ASSERT_EQ(u.ops.size(), 3u);
  EXPECT_EQ(u.ops[0].kind, UpdateKind::Create);
  EXPECT_EQ(u.ops[0].targetId, "TrackPoints");
  ASSERT_EQ(u.ops[0].payload.size(), 1u);
  EXPECT_EQ(u.ops[0].payload[0]->id, "Point3");
  EXPECT_EQ(u.ops[1].kind, UpdateKind::Change);
  EXPECT_EQ(u.ops[2].kind, UpdateKind::Delete);
  EXPECT_EQ(u.ops[2].targetId, "Old");

  KmlNode car;
  car.kind = FeatureKind::Placemark;
  car.name = "TivraCar";
  car.model = ModelData{GeoPoint{1, 2, 3}, 10.0, 0.0, 0.0, GeoPoint{2, 2, 2}, "http://m/car.dae"};
  applyChange(car, std::move(*u.ops[1].payload[0]));
  EXPECT_EQ(car.name, "TivraCar");  // not in the change: kept
  ASSERT_TRUE(car.model && car.model->location);
  EXPECT_DOUBLE_EQ(car.model->location->lon, 5.0);
  EXPECT_DOUBLE_EQ(car.model->location->alt, 7.0);
  EXPECT_DOUBLE_EQ(*car.model->heading, 90.0);
  EXPECT_DOUBLE_EQ(car.model->scale->lon, 2.0);
  EXPECT_EQ(car.model->href, "http://m/car.dae");
}

struct ColorCase {
  const char* text;
  std::uint32_t value;
};
class KmlColor : public ::testing::TestWithParam<ColorCase> {};
TEST_P(KmlColor, Parses) {
  EXPECT_EQ(parseKmlColor(GetParam().text), GetParam().value);
}
INSTANTIATE_TEST_SUITE_P(
    Cases, KmlColor,
    ::testing::Values(ColorCase{"7fffffff", 0x7fffffffu}, ColorCase{" 64ee17ee\n", 0x64ee17eeu},
                      ColorCase{"#ff0000ff", 0xff0000ffu}, ColorCase{"ffff", 0xffffffffu},
                      ColorCase{"zzzzzzzz", 0xffffffffu}, ColorCase{"", 0xffffffffu}));

struct CoordCase {
  const char* text;
  std::size_t count;
};
class Coordinates : public ::testing::TestWithParam<CoordCase> {};
TEST_P(Coordinates, SkipsMalformedTuples) {
  EXPECT_EQ(parseCoordinates(GetParam().text, 100).size(), GetParam().count);
}
INSTANTIATE_TEST_SUITE_P(Cases, Coordinates,
                         ::testing::Values(CoordCase{"1,2,3", 1}, CoordCase{"1,2\n3,4,5\n", 2},
                                           CoordCase{"1", 0}, CoordCase{"a,b", 0},
                                           CoordCase{"1,2 x,y 5,6", 2}, CoordCase{"", 0},
                                           CoordCase{"1,2,3,4", 1}, CoordCase{"1e400,2", 0}));

TEST(KmlModel, CoordinateLimitHolds) {
  std::string many;
  for (int i = 0; i < 50; ++i) many += "1,2 ";
  EXPECT_EQ(parseCoordinates(many, 10).size(), 10u);
}

class NotKml : public ::testing::TestWithParam<const char*> {};
TEST_P(NotKml, IsRejected) {
  EXPECT_THROW(parseKml(GetParam(), ""), KmlParseError);
}
INSTANTIATE_TEST_SUITE_P(Cases, NotKml,
                         ::testing::Values("", "garbage", "<kml><Folder></kml>", "<html></html>",
                                           "\x89PNG\r\n\x1a\n", "<kml"));

TEST(KmlModel, DeepNestingIsCut) {
  std::string text = "<kml>";
  for (int i = 0; i < 200; ++i) text += "<Folder>";
  for (int i = 0; i < 200; ++i) text += "</Folder>";
  text += "</kml>";
  const ParsedKml kml = parseKml(text, "");
  EXPECT_GT(kml.skippedElements, 0u);
  int depth = 0;
  for (const KmlNode* n = kml.features[0].get(); !n->children.empty(); n = n->children[0].get()) {
    ++depth;
  }
  EXPECT_LT(depth, kMaxFeatureDepth);
}

}  // namespace
}  // namespace tivra::globe
