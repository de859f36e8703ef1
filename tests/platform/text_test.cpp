#include "platform/text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

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

// The short way is taken for coordinates and must write printf's bytes; near rounding ties and
// far out it must give way to the general one.
TEST(AppendFixed6, WritesWhatPrintfWrites) {
  const auto check = [](double value) {
    std::string text = "<";
    appendFixed6(text, value);
    ASSERT_EQ(text, "<" + format("%.6f", value)) << std::hexfloat << value;
  };
  for (double value : {0.0,
                       -0.0,
                       1e-7,
                       -1e-7,
                       5e-7,
                       -5e-7,
                       1.5e-6,
                       0.0000025,
                       116.3999995,
                       39.9999994999,
                       -179.9999995,
                       9999999.9999995,
                       9999999.999999,
                       1e7,
                       -1e7,
                       123456789.123456789,
                       1e300,
                       -1e300,
                       4.9e-324,
                       std::numeric_limits<double>::infinity(),
                       -std::numeric_limits<double>::infinity(),
                       std::numeric_limits<double>::quiet_NaN()})
    check(value);
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> degrees(-400.0, 400.0);
  std::uniform_int_distribution<std::int64_t> halves(-2'000'000'000, 2'000'000'000);
  for (int i = 0; i < 100000; ++i) {
    check(degrees(random));
    check(static_cast<double>(halves(random)) * 5e-7);  // on or next to a tie of the 6th place
    check(std::ldexp(degrees(random), static_cast<int>(random() % 60) - 30));
  }
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
