#include <gtest/gtest.h>
#include <pugixml.hpp>

#include "platform/text.h"
#include "search/kml_text.h"
#include "search/result_kml.h"
#include "search/route_kml.h"
#include "support/golden.h"

namespace tivra::search {
namespace {

const DocumentHosts kHosts{"http://icons.test", "http://detail.test"};

// The document parses as XML; returns its root for further checks.
pugi::xml_node parsed(pugi::xml_document& doc, const std::string& text) {
  const auto result = doc.load_string(text.c_str());
  EXPECT_TRUE(result) << result.description() << " at " << result.offset;
  return doc.child("kml").child("Document");
}

// All text of an element, CDATA sections joined.
std::string textOf(pugi::xml_node node) {
  std::string text;
  for (const auto& child : node.children()) text += child.value();
  return text;
}

std::vector<PoiRecord> sampleRecords() {
  PoiRecord full{7,    "L1", "天安门", "长安街", "010-1",  11639712, 3990357, "12",
                 "E9", "N9", "北京市", "北京",   "东城区", "旅游",   "景点",  "广场"};
  PoiRecord second;  // link by lsidn, no address or phone, empty areas and classes
  second.id = 8;
  second.name = "Second";
  second.lsidn = "N2";
  second.lon = -12345;
  second.lat = 100;
  PoiRecord hostile;  // service text that is neither XML- nor HTML-safe
  hostile.id = 9;
  hostile.name = "A<B & C &amp; ]]> \x01";
  hostile.address = "x]]>y<script>alert(1)</script>";
  hostile.lside = "E\" onclick=\"x";
  return {full, second, hostile};
}

TEST(ResultKml, MatchesTheGoldenDocument) {
  const std::string kml = BuildResultKml(sampleRecords(), kHosts);
  EXPECT_TRUE(test::matchesGolden(kml, "search/result.kml"));
  pugi::xml_document doc;
  const auto document = parsed(doc, kml);
  auto placemark = document.child("Placemark").next_sibling("Placemark").next_sibling();
  EXPECT_STREQ(placemark.child_value("name"), "9.A<B & C & ]]> ");
  // The balloon is HTML: the service's text shows as written and adds no markup.
  EXPECT_EQ(textOf(placemark.child("description")),
            "<A href=\"http://detail.test/html/E&quot; onclick=&quot;x.html\">A&lt;B &amp; C &amp; "
            "]]&gt; <dt>地址:</dt><dd>x]]&gt;y&lt;script&gt;alert(1)&lt;/script&gt;</dd>\n"
            "<dt>行政区:</dt><dd>,,</dd>\n<dt>类别:</dt><dd>->-></dd>\n</A>");
}

TEST(ResultKml, ACutAnswerSaysSoInTheDescription) {
  const auto records = sampleRecords();
  std::string expected = BuildResultKml(records, kHosts);
  const std::string name = "<name>搜索结果(共3项)</name>\n";
  ASSERT_NE(expected.find(name), std::string::npos);
  expected.insert(expected.find(name) + name.size(),
                  "<description>搜索结果超过10000项，只列出了前10000项</description>\n");
  EXPECT_EQ(BuildResultKml(records, kHosts, true), expected);
}

TEST(ResultKml, ZeroRecordsStillGiveTheStyles) {
  const std::string kml = BuildResultKml({}, kHosts);
  pugi::xml_document doc;
  const auto document = parsed(doc, kml);
  EXPECT_STREQ(document.child_value("name"), "搜索结果(共0项)");
  EXPECT_EQ(std::distance(document.children("Style").begin(), document.children("Style").end()), 2);
  EXPECT_FALSE(document.child("Placemark"));
}

struct EscapeCase {
  const char* text;
  const char* element;
  const char* cdata;
  const char* balloon;
};
class EscapeTest : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(EscapeTest, KeepsTheDocumentWellFormed) {
  std::string element, cdata, balloon;
  appendElementText(element, GetParam().text);
  appendCdataText(cdata, GetParam().text);
  appendBalloonText(balloon, GetParam().text);
  EXPECT_EQ(element, GetParam().element);
  EXPECT_EQ(cdata, GetParam().cdata);
  EXPECT_EQ(balloon, GetParam().balloon);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, EscapeTest,
    ::testing::Values(EscapeCase{"A<B", "A&lt;B", "A<B", "A&lt;B"},
                      EscapeCase{"A & B", "A &amp; B", "A & B", "A &amp; B"},
                      EscapeCase{"&amp;&lt;&#20013;&#x4E2D;", "&amp;&lt;&#20013;&#x4E2D;",
                                 "&amp;&lt;&#20013;&#x4E2D;", "&amp;&lt;&#20013;&#x4E2D;"},
                      // Not references a reader resolves: undefined names, bad code points.
                      EscapeCase{"&nbsp;&#0;&#xZ;&", "&amp;nbsp;&amp;#0;&amp;#xZ;&amp;",
                                 "&nbsp;&#0;&#xZ;&", "&amp;nbsp;&amp;#0;&amp;#xZ;&amp;"},
                      EscapeCase{"a]]>b", "a]]&gt;b", "a]]]]><![CDATA[>b", "a]]&gt;b"},
                      EscapeCase{"<img src='x' onerror=\"y\">", "&lt;img src='x' onerror=\"y\">",
                                 "<img src='x' onerror=\"y\">",
                                 "&lt;img src=&#39;x&#39; onerror=&quot;y&quot;&gt;"},
                      EscapeCase{"t\tn\n\x01\x1f", "t\tn\n", "t\tn\n", "t\tn\n"}));

struct HeadingCase {
  PointE5 to;
  const char* printed;
};
class HeadingTest : public ::testing::TestWithParam<HeadingCase> {};

TEST_P(HeadingTest, DegreesClockwiseFromNorth) {
  EXPECT_EQ(platform::format("%f", Heading(PointE5{1000, 1000}, GetParam().to)),
            GetParam().printed);
}

INSTANTIATE_TEST_SUITE_P(Directions, HeadingTest,
                         ::testing::Values(HeadingCase{{1500, 1000}, "90.000000"},
                                           HeadingCase{{500, 1000}, "-90.000000"},
                                           HeadingCase{{1000, 1500}, "0.000000"},
                                           HeadingCase{{1000, 500}, "-180.000000"},
                                           HeadingCase{{1000, 1000}, "-90.000000"},
                                           HeadingCase{{1500, 1500}, "44.999999"},
                                           HeadingCase{{1500, 500}, "135.000001"},
                                           HeadingCase{{500, 500}, "-135.000001"}));

RouteLeg leg(std::vector<RouteStep> steps, std::vector<PointE5> line, std::string time,
             std::string length, std::string unit) {
  RouteLeg l;
  l.steps = std::move(steps);
  l.polyline = std::move(line);
  l.timeText = std::move(time);
  l.lengthText = std::move(length);
  l.lengthUnitText = std::move(unit);
  return l;
}

TEST(RouteKml, MatchesTheGoldenDocument) {
  Route route("116.397128,39.903580", "116.400000,39.910000", "116.410000,39.920000",
              "http://icons.test");
  route.legs = std::vector<RouteLeg>{
      leg({{11639712, 3990358, "向东"}, {11640000, 3990358, "左转"}, {11640000, 3991000, "到"}},
          {{11639712, 3990358}, {11640000, 3991000}}, "5分钟", "1.2", "公里"),
      leg({{11640000, 3991000, "A<B"}, {11641000, 3992000, "终点"}}, {}, "]]>", "3", "km")};
  const std::string kml = routeKmlText(route);
  EXPECT_TRUE(test::matchesGolden(kml, "search/route.kml"));
  pugi::xml_document doc;
  const auto document = parsed(doc, kml);
  EXPECT_STREQ(document.child_value("name"), "Navigate");
  std::vector<std::string> names;
  for (const auto& p : document.children("Placemark")) names.push_back(p.child_value("name"));
  EXPECT_EQ(names, (std::vector<std::string>{"向东", "左转", "到达中途点1", "A<B", "终点", "Route",
                                             "Route"}));
  // Descriptions are balloon HTML: the service's text reaches it escaped.
  std::vector<std::string> descriptions;
  for (const auto& p : document.children("Placemark"))
    descriptions.push_back(textOf(p.child("description")));
  ASSERT_EQ(descriptions.size(), 7u);
  EXPECT_EQ(descriptions[3], "A&lt;B");
  EXPECT_EQ(descriptions[6], "距离:3km (大约]]&gt;)<br/>");
}

TEST(RouteKml, StepsCutAtOurLimitAreNamedInTheDescription) {
  Route route("1,2", "", "3,4", "http://icons.test");
  route.legs = std::vector<RouteLeg>{leg({{100, 200, "a"}}, {}, "t", "l", "u")};
  std::string expected = routeKmlText(route);
  (*route.legs)[0].stepsCut = true;
  const std::string trip = "&lt;i&gt; 从1,2到3,4&lt;/i&gt;";
  expected.insert(expected.find(trip) + trip.size(),
                  "&lt;br/&gt;部分路段超过65536步，只列出了前65536步");
  EXPECT_EQ(routeKmlText(route), expected);
}

TEST(RouteKml, NoLegsGiveHeadAndTail) {
  Route route("1,2", "", "3,4", "http://icons.test");
  route.legs.emplace();
  EXPECT_EQ(routeKmlText(route), route.kmlHead + "</Document>\n</kml>\n");
}

}  // namespace
}  // namespace tivra::search
