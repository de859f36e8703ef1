#include "platform/gbk.h"

#include <gtest/gtest.h>

namespace tivra::platform {
namespace {

TEST(Gbk, ConvertsBothWays) {
  EXPECT_EQ(utf8ToGbk("北京 A&B"), "\xB1\xB1\xBE\xA9 A&B");
  EXPECT_EQ(gbkToUtf8("\xC9\xCF\xBA\xA3<Poi "), "上海<Poi ");
}

TEST(Gbk, RefusesWhatGbkCannotWrite) {
  EXPECT_FALSE(utf8ToGbk("\xF0\x9F\x98\x80"));  // an emoji
  EXPECT_FALSE(utf8ToGbk("\xC3"));              // cut UTF-8
}

TEST(Gbk, ReplacesBadBytesAndGoesOn) {
  // A lead byte before '"' is replaced alone, so the quote still ends an attribute.
  EXPECT_EQ(gbkToUtf8("\x81\"a\xFF\xB1\xB1\xBE"), "\xEF\xBF\xBD\"a\xEF\xBF\xBD北\xEF\xBF\xBD");
}

}  // namespace
}  // namespace tivra::platform
