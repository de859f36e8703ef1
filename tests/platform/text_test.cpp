#include "platform/text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace tivra::platform {
namespace {

TEST(Tokenizer, SkipsRunsOfDelimitersAndEndsWithEmptyToken) {
  Tokenizer t(",,a,,b,", ",");
  EXPECT_EQ(t.next(), "a");
  EXPECT_EQ(t.next(), "b");
  EXPECT_EQ(t.next(), "");
  EXPECT_EQ(t.next(), "");
  EXPECT_EQ(tokenize("1,2,3,4", ",", 2), (std::vector<std::string_view>{"1", "2"}));
  EXPECT_TRUE(tokenize("", ",", 20).empty());
  EXPECT_TRUE(tokenize(",,,", ",", 20).empty());
}

struct IntCase {
  const char* text;
  std::int32_t value;
};
class ParseIntTest : public ::testing::TestWithParam<IntCase> {};
TEST_P(ParseIntTest, ReadsLikeTheCRuntime) {
  EXPECT_EQ(parseInt(GetParam().text), GetParam().value) << GetParam().text;
}
INSTANTIATE_TEST_SUITE_P(Cases, ParseIntTest,
                         ::testing::Values(IntCase{"11000", 11000}, IntCase{"abc", 0},
                                           IntCase{"", 0}, IntCase{"  -42x", -42}, IntCase{"+7", 7},
                                           IntCase{"12abc", 12}, IntCase{"-", 0},
                                           IntCase{"99999999999999999999", 2147483647},
                                           IntCase{"-99999999999999999999", -2147483648LL},
                                           IntCase{"2147483648", 2147483647}));

struct RealCase {
  const char* text;
  double value;
};
class ParseRealTest : public ::testing::TestWithParam<RealCase> {};
TEST_P(ParseRealTest, ReadsDecimalTextOnly) {
  EXPECT_DOUBLE_EQ(parseReal(GetParam().text), GetParam().value) << GetParam().text;
}
INSTANTIATE_TEST_SUITE_P(Cases, ParseRealTest,
                         ::testing::Values(RealCase{"116.391", 116.391}, RealCase{"-0.5e2x", -50},
                                           RealCase{".5", 0.5}, RealCase{"5.", 5},
                                           RealCase{"nan", 0}, RealCase{"inf", 0},
                                           RealCase{"-infinity", 0}, RealCase{"0x10", 0},
                                           RealCase{"1e", 1}, RealCase{"", 0}, RealCase{"+", 0},
                                           RealCase{"4750000", 4750000}));

TEST(ParseReal, HugeMagnitudesBecomeInfinityNotGarbage) {
  EXPECT_TRUE(std::isinf(parseReal("1e999")));
  EXPECT_FALSE(std::isnan(parseReal("1e999")));
}

TEST(Format, ProducesPrintfText) {
  EXPECT_EQ(format("%f", 4750000.0), "4750000.000000");
  EXPECT_EQ(format("%ld,%ld", -1L, 2L), "-1,2");
  EXPECT_EQ(format("%s", ""), "");
}

TEST(EqualsIgnoreCase, ComparesAsciiLetters) {
  EXPECT_TRUE(equalsIgnoreCase("FALSE", "false"));
  EXPECT_FALSE(equalsIgnoreCase("fals", "false"));
  EXPECT_TRUE(startsWithIgnoreCase("HTTP://host/", "http://"));
  EXPECT_FALSE(startsWithIgnoreCase("http:/", "http://"));
}

TEST(Trim, CutsBlanksOnBothSidesOnly) {
  EXPECT_EQ(trim(" \t a b\r\n"), "a b");
  EXPECT_EQ(trim("\r\n \t"), "");
  EXPECT_EQ(trim("x"), "x");
}

}  // namespace
}  // namespace tivra::platform
