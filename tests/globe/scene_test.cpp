#include "globe/scene.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tivra::globe {
namespace {

NodeList features(const std::string& inner) {
  return parseKml("<kml xmlns=\"http://earth.google.com/kml/2.0\">" + inner + "</kml>", "")
      .features;
}

constexpr const char* kTree =
    "<Document><name>doc</name>"
    "<Folder><name>hidden</name><visibility>0</visibility>"
    "<Placemark><name>inside</name></Placemark></Folder>"
    "<NetworkLink><name>link</name><Link><href>http://h/a</href></Link></NetworkLink>"
    "</Document>";

TEST(Scene, WalksInDocumentOrderWithDepthAndInheritedVisibility) {
  Scene scene;
  scene.load("a.kml", features(kTree));
  std::vector<std::string> seen;
  scene.forEachNode([&](KmlNode& n, int depth, bool visible) {
    seen.push_back(n.name + ":" + std::to_string(depth) + (visible ? "+" : "-"));
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"doc:0+", "hidden:1-", "inside:2-", "link:1+"}));
  int visits = 0;
  scene.forEachNode([&](KmlNode&, int, bool) { return ++visits == 2; });
  EXPECT_EQ(visits, 2) << "a visitor returning true ends the walk";
}

TEST(Scene, RunTimeStateFollowsTheNodesInTheScene) {
  Scene scene;
  scene.load("a.kml", features(kTree));
  KmlNode* link = scene.find([](const KmlNode& n) { return n.name == "link"; });
  ASSERT_NE(link, nullptr);
  EXPECT_TRUE(scene.liveLink(*link));
  EXPECT_TRUE(scene.state(*link).link.initialDue);
  ASSERT_TRUE(scene.replaceChildren(*link, features("<Placemark><name>p</name></Placemark>")));
  const KmlNode& fetched = *link->children.front();
  EXPECT_EQ(scene.state(fetched).link.depth, 1);
  const std::uint64_t serial = scene.state(fetched).serial;
  EXPECT_EQ(scene.bySerial(serial), &fetched);
  EXPECT_EQ(scene.featureCount(), 5u);

  // Loading the same path again replaces the document; its nodes and their serials are gone.
  scene.load("a.kml", features("<Placemark><name>only</name></Placemark>"));
  EXPECT_EQ(scene.bySerial(serial), nullptr);
  EXPECT_EQ(scene.featureCount(), 1u);
  EXPECT_NE(scene.state(*scene.find([](const KmlNode&) { return true; })).serial, serial);
}

TEST(Scene, FeatureCameraFitsGeometryOrUsesTheLookAt) {
  const NodeList withLookAt = features(
      "<Placemark><LookAt><longitude>10</longitude><latitude>20</latitude>"
      "<range>500</range></LookAt></Placemark>");
  const auto own = featureCamera(*withLookAt.front(), 1024, 768, 60.0);
  ASSERT_TRUE(own);
  EXPECT_DOUBLE_EQ(own->FocusPointLongitude, 10.0);
  EXPECT_DOUBLE_EQ(own->Range, 500.0);

  const NodeList folder = features(
      "<Folder><Placemark><Point><coordinates>1,2</coordinates></Point></Placemark>"
      "<Placemark><Point><coordinates>3,4</coordinates></Point></Placemark></Folder>");
  const auto fitted = featureCamera(*folder.front(), 1024, 768, 60.0);
  ASSERT_TRUE(fitted);
  EXPECT_DOUBLE_EQ(fitted->FocusPointLongitude, 2.0);
  EXPECT_DOUBLE_EQ(fitted->FocusPointLatitude, 3.0);
  EXPECT_GT(fitted->Range, 1000.0);

  EXPECT_FALSE(featureCamera(*features("<Folder/>").front(), 1024, 768, 60.0));
}

}  // namespace
}  // namespace tivra::globe
