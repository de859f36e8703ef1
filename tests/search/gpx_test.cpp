// `tivra search` and `tivra route` with --format gpx against the fake services: the bytes a GPS
// tool reads, and their shape against the GPX 1.1 schema's order.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <pugixml.hpp>

#include "support/fake_services.h"
#include "support/golden.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace tivra::search {
namespace {

using namespace std::chrono_literals;

// The schema's sequence under gpx: metadata?, wpt*, rte*, trk*, extensions?.
int rank(std::string_view element) {
  if (element == "metadata") return 0;
  if (element == "wpt") return 1;
  if (element == "rte") return 2;
  if (element == "trk") return 3;
  if (element == "extensions") return 4;
  return -1;
}

bool pointOnGlobe(const pugi::xml_node& point) {
  const double lat = point.attribute("lat").as_double(NAN);
  const double lon = point.attribute("lon").as_double(NAN);
  return std::fabs(lat) <= 90 && std::fabs(lon) <= 180;
}

::testing::AssertionResult isGpx11(const std::string& text) {
  pugi::xml_document document;
  const auto parsed = document.load_buffer(text.data(), text.size());
  if (!parsed) return ::testing::AssertionFailure() << "not well formed: " << parsed.description();
  const pugi::xml_node gpx = document.document_element();
  if (std::string_view(gpx.name()) != "gpx" ||
      std::string_view(gpx.attribute("version").value()) != "1.1" ||
      std::string_view(gpx.attribute("creator").value()) != "Tivra" ||
      std::string_view(gpx.attribute("xmlns").value()) != "http://www.topografix.com/GPX/1/1")
    return ::testing::AssertionFailure() << "not a GPX 1.1 root";
  int last = -1;
  for (const pugi::xml_node& child : gpx.children()) {
    const int r = rank(child.name());
    if (r < last || r < 0) return ::testing::AssertionFailure() << "out of order: " << child.name();
    last = r;
  }
  for (const char* query : {"/gpx/wpt", "/gpx/rte/rtept", "/gpx/trk/trkseg/trkpt"}) {
    for (const auto& point : document.select_nodes(query)) {
      if (!pointOnGlobe(point.node())) return ::testing::AssertionFailure() << "point off globe";
    }
  }
  return ::testing::AssertionSuccess();
}

struct GpxCase {
  const char* name;
  std::vector<std::string> args;
  const char* golden;
};

class GpxCommandTest : public ::testing::TestWithParam<GpxCase> {
 protected:
  GpxCommandTest() {
    // Markup, an ampersand, a control character and a byte that begins no UTF-8 character in
    // the names, as hostile services send them.
    m_search.setAnswer(
        "<Poi id=\"1\"><Na v=\"A&amp;B &lt;b&gt;\x01\"/><Add v=\"长安街1号 &#x4e00;&#20013;\"/>"
        "<Geo lo=\"11640000\" la=\"3990000\"/></Poi>"
        "<Poi id=\"2\"><Na v=\"咖啡&quot;馆\"/><Geo lo=\"-1\" la=\"-2\"/></Poi>");
    m_route.setLegAnswer("999,1999", "2999,3999",
                         test::routeAnswer("999,1999,左转进入<长安街>;2999,3999,到达;",
                                           "999,1999;1500,2500;2999,3999;", "5", "1", "km"));
    m_route.setLegAnswer("2999,3999", "5000,5999",
                         test::routeAnswer("2999,3999,直行 & 右转;5000,5999,到达;",
                                           "2999,3999;5000,5999;", "5", "1", "km"));
    m_route.setLegAnswer("5000,5999", "7000,7999",
                         test::routeAnswer("5000,5999,掉头;7000,7999,到达终点;",
                                           "5000,5999;7000,7999;", "5", "1", "km"));
    std::ofstream(m_dir / "Tivra.ini", std::ios::binary)
        << "[settings]\r\nSearchHost=" << m_search.host() << "\r\nRouteHost=" << m_route.host()
        << "\r\nIconHost=http://icons.test\r\n";
  }

  test::FakeSearchService m_search;
  test::FakeRouteService m_route;
  test::TempDir m_dir;
};

TEST_P(GpxCommandTest, WritesGpx11InTheSchemasOrder) {
  std::vector<std::string> args = GetParam().args;
  const auto out = m_dir / "out.gpx";
  args.insert(args.end(), {"--format", "gpx", "-o", out.string(), "--data-dir", m_dir.path()});
  test::Process tivra(TIVRA_BINARY, args, {}, m_dir / "err.txt");
  ASSERT_EQ(tivra.wait(60s), 0) << test::readFile(m_dir / "err.txt");
  const std::string text = test::readFile(out);
  EXPECT_TRUE(isGpx11(text));
  EXPECT_TRUE(test::matchesGolden(text, GetParam().golden));
}

INSTANTIATE_TEST_SUITE_P(
    Commands, GpxCommandTest,
    ::testing::Values(GpxCase{"SearchHits", {"search", "北京", "x"}, "search/result.gpx"},
                      GpxCase{"RouteWithTwoVias",
                              {"route", "0.01,0.02", "0.07,0.08", "--via", "0.03,0.04;0.05,0.06"},
                              "search/route.gpx"}),
    [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace tivra::search
