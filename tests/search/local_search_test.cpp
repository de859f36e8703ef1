#include "search/local_search.h"

#include <gtest/gtest.h>

#include "support/fake_services.h"
#include "tiles/fetch_url.h"
#include "tiles/offset.h"

namespace tivra::search {
namespace {

TEST(SearchUrl, EncodesEveryByteOutsideTheUnreservedSet) {
  const auto url = BuildSearchUrl("http://h:1", {"上海", "A&B #%x=1", std::nullopt}, nullptr);
  EXPECT_EQ(url,
            "http://h:1/LocalSearch?LocalSearch&city=%C9%CF%BA%A3&words=A%26B%20%23%25x%3D1"
            "&areaNum=1&showName=1&pagecap=100&radius=5000");
}

TEST(SearchUrl, WithinViewSendsTheMapFrameCentreAndTheRange) {
  store::LocationMap map;
  tiles::StoreOffset(map, PointE5{11639712, 3990357}, PointE5{100, -50}, true);
  const auto url =
      BuildSearchUrl("http://h", {"北京", "-._~", SearchView{116.397128, 39.90358, 1234.9}}, &map);
  EXPECT_EQ(url,
            "http://h/LocalSearch?LocalSearch&city=%B1%B1%BE%A9&area=POINT(11639612%203990407)"
            "&words=-._~&showName=1&pagecap=100&radius=1234");
}

TEST(SearchUrl, RefusesTextWithoutAGbkForm) {
  EXPECT_FALSE(BuildSearchUrl("http://h", {"北京", "\xF0\x9F\x98\x80", std::nullopt}, nullptr));
}

TEST(ServiceBase, HostOrFullBase) {
  EXPECT_EQ(serviceBase("127.0.0.1:8080"), "http://127.0.0.1:8080");
  EXPECT_EQ(serviceBase("https://s.example"), "https://s.example");
  EXPECT_EQ(serviceBase("HTTP://s.example"), "HTTP://s.example");
}

// One record as "id|lsid|name|address|phone|lon|lat|distance|lside|lsidn|pro|city|dis|g1|g2|g3".
std::string summary(const PoiRecord& r) {
  std::string s = std::to_string(r.id);
  for (const std::string* m : {&r.lsid, &r.name, &r.address, &r.phone}) s += "|" + *m;
  s += "|" + std::to_string(r.lon) + "|" + std::to_string(r.lat);
  for (const std::string* m : {&r.distance, &r.lside, &r.lsidn, &r.province, &r.city, &r.district,
                               &r.class1, &r.class2, &r.class3})
    s += "|" + *m;
  return s;
}

constexpr const char* kFull =
    "<Poi id=\"7\"><LSID v=\"L1\"/><Na v=\"天安门\"/><Add v=\"长安街\"/><Tel v=\"010-1\"/>"
    "<Geo lo=\"11639712\" la=\"3990357\"/><LSIDE v=\"E9\"/><LSIDN v=\"N9\"/><Dis v=\"12\"/>"
    "<Admin pro=\"北京市\" city=\"北京\" dis=\"东城区\"/><Class g1=\"旅游\" g2=\"景点\" "
    "g3=\"广场\"/></Poi>";

struct ParseCase {
  const char* name;
  std::string answer;
  std::vector<std::string> records;
};
class SearchAnswerTest : public ::testing::TestWithParam<ParseCase> {};

// Through a real socket: the fake service answers in code page 936.
TEST_P(SearchAnswerTest, CutsTheAnswerIntoRecords) {
  test::FakeSearchService service;
  service.setAnswer(GetParam().answer);
  const auto url =
      BuildSearchUrl(serviceBase(service.host()), {"北京", "x", std::nullopt}, nullptr);
  const tiles::FetchResult fetched = tiles::fetch_url(url.value());
  ASSERT_TRUE(fetched.body);
  const std::string body(fetched.body->begin(), fetched.body->end());
  std::vector<std::string> got;
  for (const PoiRecord& r : parseSearchAnswer(body, nullptr)) got.push_back(summary(r));
  EXPECT_EQ(got, GetParam().records);
}

const std::string kFullSummary =
    "7|L1|天安门|长安街|010-1|11639712|3990357|12|E9|N9|北京市|北京|东城区|旅游|景点|广场";

INSTANTIATE_TEST_SUITE_P(
    Answers, SearchAnswerTest,
    ::testing::Values(
        ParseCase{"Full",
                  std::string("<Result>") + kFull + kFull + "</Result>",
                  {kFullSummary, kFullSummary}},
        ParseCase{"NoPoi", "<Result count=\"0\"/>", {}},
        // Tel before Add: the cursor has passed Tel when it looks for it.
        ParseCase{"OutOfOrder",
                  "<Poi id=\"1\"><Tel v=\"555\"/><Add v=\"A\"/><Geo lo=\"5\" la=\"6\"/></Poi>",
                  {"1|||A||5|6|||||||||"}},
        // Dis is looked for after LSIDN; "dis" does not match inside "Dis v".
        ParseCase{"DisAfterLsidn",
                  "<Poi id=\"2\"><Dis v=\"9\"/><LSIDN v=\"N\"/><Admin pro=\"P\" city=\"C\" "
                  "dis=\"D\"/></Poi>",
                  {"2|||||0|0|||N|P|C|D|||"}},
        ParseCase{"MissingQuote",
                  "<Poi id=\"3\"><LSID v=\"L\"/><Na v=\"open/><Add v=x/></Poi>",
                  {"3|L||||0|0|||||||||"}},
        // A position off the globe is refused; a missing one (0, 0) is not.
        ParseCase{"OffTheGlobe",
                  "<Poi id=\"1\"><Geo lo=\"18000001\" la=\"1\"/></Poi><Poi id=\"2\"><Geo "
                  "lo=\"-18000000\" la=\"-9000001\"/></Poi><Poi id=\"3\"></Poi><Poi id=\"4\"><Geo "
                  "lo=\"-18000000\" la=\"9000000\"/></Poi>",
                  {"3|||||0|0|||||||||", "4|||||-18000000|9000000|||||||||"}},
        ParseCase{"MissingClosingTag",
                  std::string(kFull) + "<Poi id=\"4\"><Na v=\"cut\"/>",
                  {kFullSummary, "0|||||0|0|||||||||"}}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(SearchAnswer, BytesThatAreNotGbkDoNotStopTheSearch) {
  const std::string answer =
      "<Poi id=\"5\"><Na v=\"\xFF" + test::gbk("名") + "\"/><Geo lo=\"1\" la=\"2\"/></Poi>";
  const auto records = parseSearchAnswer(answer, nullptr);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].name, "\xEF\xBF\xBD名");
  EXPECT_EQ(records[0].lat, 2);
}

TEST(SearchAnswer, PositionsComeBackInTheGlobeFrame) {
  store::LocationMap map;
  tiles::StoreOffset(map, PointE5{11639712, 3990357}, PointE5{300, 400}, true);
  // On the globe as the service wrote it, off the globe once shifted: refused.
  tiles::StoreOffset(map, PointE5{17999900, 100}, PointE5{300, 0}, true);
  AnswerNotes notes;
  const auto records = ParseSearchResponse(
      std::string(kFull) + "<Poi id=\"8\"><Geo lo=\"17999900\" la=\"100\"/></Poi>", &map, &notes);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].lon, 11639712 + 300);
  EXPECT_EQ(records[0].lat, 3990357 + 400);
  EXPECT_EQ(notes.refused, 1u);
  EXPECT_FALSE(notes.cut);
}

TEST(SearchAnswer, RecordsAreBoundedAndACutIsNoted) {
  std::string answer;
  for (std::size_t i = 0; i < kMaxRecords; ++i) answer += "<Poi id=\"1\"></Poi>";
  AnswerNotes notes;
  EXPECT_EQ(ParseSearchResponse(answer, nullptr, &notes).size(), kMaxRecords);
  EXPECT_FALSE(notes.cut);
  answer += "<Poi id=\"2\"></Poi>";
  EXPECT_EQ(ParseSearchResponse(answer, nullptr, &notes).size(), kMaxRecords);
  EXPECT_TRUE(notes.cut);
}

}  // namespace
}  // namespace tivra::search
