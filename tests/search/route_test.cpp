#include "search/route.h"

#include <gtest/gtest.h>

#include "search/local_search.h"
#include "support/fake_services.h"
#include "tiles/offset.h"

namespace tivra::search {
namespace {

using test::routeAnswer;

class RouteTest : public ::testing::Test {
 protected:
  RouteService service(Offsets offsets = nullptr) const {
    return RouteService{serviceBase(m_service.host()), offsets};
  }
  test::FakeRouteService m_service;
};

TEST_F(RouteTest, TwoViaPointsQueryThreeLegsInTripOrder) {
  m_service.setDefaultAnswer(routeAnswer("1,2,a;3,4,b;", "1,2;3,4;", "t", "l", "u"));
  const auto legs =
      BuildLegs("116.397128,39.90358", "116.4,39.91;116.5,39.92", "116.6,39.93", service());
  EXPECT_EQ(legs.size(), 3u);
  EXPECT_EQ(m_service.targets(),
            (std::vector<std::string>{
                "/apisrv/nv?wd1=\"\"&wd2=\"\"&p1=11639712,3990357&p2=11640000,3990999",
                "/apisrv/nv?wd1=\"\"&wd2=\"\"&p1=11640000,3990999&p2=11650000,3991999",
                "/apisrv/nv?wd1=\"\"&wd2=\"\"&p1=11650000,3991999&p2=11659999,3993000"}));
}

TEST_F(RouteTest, FailedLegsAreDroppedWithTheirReasonAndBadTextsQueryNothing) {
  m_service.setLegAnswer("999,1999", "2999,3999", routeAnswer("999,1999,x;", "", "", "", ""));
  // An error page that begins with "var" is no route either.
  m_service.setLegAnswer("5000,5999", "7000,7999", routeAnswer("1,2,x;", "", "", "", ""), 500);
  m_service.setLegAnswer("7000,7999", "9000,10000", "", 0);
  m_service.setLegAnswer("9000,10000", "10000,10999", "<html>busy</html>");
  // The second leg's answer is the fake's 404.
  std::vector<LegProblem> problems;
  const auto legs = BuildLegs("0.01,0.02", "0.03,0.04;0.05,0.06;0.07,0.08;0.09,0.10", "0.1,0.11",
                              service(), &problems);
  ASSERT_EQ(legs.size(), 1u);
  EXPECT_EQ(legs[0].from, (PointE5{999, 1999}));
  std::vector<std::string> reasons;
  for (const LegProblem& p : problems) reasons.push_back(std::to_string(p.leg) + " " + p.failure);
  EXPECT_EQ(reasons, (std::vector<std::string>{"1 HTTP status 404", "2 HTTP status 500",
                                               "3 no answer", "4 answer does not begin with var"}));
  const auto sent = m_service.targets().size();
  EXPECT_TRUE(BuildLegs("1,2", "3,4;", "5,6", service()).empty());
  EXPECT_TRUE(BuildLegs("1,2;3,4", "", "5,6", service()).empty());
  EXPECT_EQ(m_service.targets().size(), sent);
}

TEST_F(RouteTest, OffsetsShiftTheRequestAndTheAnswer) {
  store::LocationMap map;
  tiles::StoreOffset(map, PointE5{11639712, 3990357}, PointE5{-100, 200}, true);
  m_service.setLegAnswer("11639812,3990157", "11640112,3990057",
                         routeAnswer("11639812,3990157,go;", "11639812,3990157;", "t", "l", "u"));
  const RouteLeg leg =
      QueryLeg(PointE5{11639712, 3990357}, PointE5{11640012, 3990257}, service(&map));
  ASSERT_TRUE(leg.steps);
  ASSERT_EQ(leg.steps->size(), 1u);
  EXPECT_EQ((*leg.steps)[0].x, 11639712);
  EXPECT_EQ((*leg.steps)[0].y, 3990357);
  EXPECT_EQ(*leg.polyline, (std::vector<PointE5>{{11639712, 3990357}}));
}

TEST(RouteSteps, AreBoundedAndACutIsNoted) {
  std::string text;
  for (std::size_t i = 0; i < kMaxRouteSteps; ++i) text += "1,2,a;";
  AnswerNotes notes;
  EXPECT_EQ(ParseSteps(text, nullptr, &notes).size(), kMaxRouteSteps);
  EXPECT_FALSE(notes.cut);
  text += "3,4,b;";
  EXPECT_EQ(ParseSteps(text, nullptr, &notes).size(), kMaxRouteSteps);
  EXPECT_TRUE(notes.cut);
}

struct AnswerCase {
  const char* name;
  std::string answer;
  bool accepted;
  std::vector<std::string> steps;  // "x,y,text"
  std::size_t polylinePoints;
  std::string texts;  // time|length|unit
};
class RouteAnswerTest : public RouteTest, public ::testing::WithParamInterface<AnswerCase> {};

// Through a real socket: the fake service answers in code page 936.
TEST_P(RouteAnswerTest, CutsTheAnswerIntoPieces) {
  m_service.setDefaultAnswer(GetParam().answer);
  const RouteLeg leg = QueryLeg(PointE5{1, 2}, PointE5{3, 4}, service());
  ASSERT_EQ(leg.steps.has_value(), GetParam().accepted);
  if (!GetParam().accepted) return;
  std::vector<std::string> steps;
  for (const RouteStep& s : *leg.steps)
    steps.push_back(std::to_string(s.x) + "," + std::to_string(s.y) + "," + s.text);
  EXPECT_EQ(steps, GetParam().steps);
  EXPECT_EQ(leg.polyline->size(), GetParam().polylinePoints);
  EXPECT_EQ(leg.timeText + "|" + leg.lengthText + "|" + leg.lengthUnitText, GetParam().texts);
}

std::string manyPieces() {
  std::string answer = routeAnswer("1,2,a;", "1,2;", "t", "l", "u");
  for (int i = 0; i < 1000; ++i) answer += "\"x\"";
  return answer;
}

INSTANTIATE_TEST_SUITE_P(
    Answers, RouteAnswerTest,
    ::testing::Values(
        AnswerCase{
            "Plain",
            routeAnswer("10,20,向东行驶;30,40,右转;", "10,20;30,40;", "约5分钟", "1.2", "公里"),
            true,
            {"10,20,向东行驶", "30,40,右转"},
            2,
            "约5分钟|1.2|公里"},
        AnswerCase{"Capitals",
                   "VAR" + routeAnswer("1,2,a;", "1,2;", "t", "l", "u").substr(3),
                   true,
                   {"1,2,a"},
                   1,
                   "t|l|u"},
        AnswerCase{"MixedCase",
                   "vAr" + routeAnswer("1,2,a;", "1,2;", "t", "l", "u").substr(3),
                   true,
                   {"1,2,a"},
                   1,
                   "t|l|u"},
        AnswerCase{
            "LeadingBlank", " " + routeAnswer("1,2,a;", "", "t", "l", "u"), false, {}, 0, ""},
        AnswerCase{"CommaInInstruction",
                   routeAnswer("1,2,左转,再直行;", "1,2;", "t", "l", "u"),
                   true,
                   {"1,2,左转"},
                   1,
                   "t|l|u"},
        AnswerCase{
            "NoSemicolon", routeAnswer("1,2,a", "1,2;3,4;", "t", "l", "u"), true, {}, 2, "t|l|u"},
        AnswerCase{"BadPolyline",
                   routeAnswer("1,2,a;", "1,2;3;", "t", "l", "u"),
                   true,
                   {"1,2,a"},
                   0,
                   "t|l|u"},
        AnswerCase{"MoreThanTwentyPieces", manyPieces(), true, {"1,2,a"}, 1, "t|l|u"},
        AnswerCase{"MissingPieces", "var r=[\"1,2,a;\"]", true, {"1,2,a"}, 0, "||"},
        // Positions off the globe are refused, not written.
        AnswerCase{"OffTheGlobe",
                   routeAnswer("18000001,2,a;-18000000,-9000000,b;3,9000001,c;",
                               "1,2;-18000001,0;5,6;", "t", "l", "u"),
                   true,
                   {"-18000000,-9000000,b"},
                   2,
                   "t|l|u"}),
    [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace tivra::search
