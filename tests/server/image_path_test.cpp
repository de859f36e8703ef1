#include <gtest/gtest.h>

#include "server/image_endpoint.h"

namespace tivra::server {
namespace {

TEST(ImagePath, OnlyEncodedEqualsAndAmpersandsAreDecodedInOrder) {
  EXPECT_EQ(decodeImagePath("F00/x%3D123%34%26y%3D56%37%26zoom%3D12"),
            "F00/x=123%34&y=56%37&zoom=12");
  EXPECT_EQ(decodeImagePath("%263D"), "&3D");  // "=" is decoded first, so this stays "&3D"
  EXPECT_EQ(decodeImagePath("%3d%2f%41"), "%3d%2f%41");  // exact text, case-sensitive
  EXPECT_EQ(decodeImagePath("%3%3D"), "%3=");
  EXPECT_EQ(decodeImagePath(""), "");
}

}  // namespace
}  // namespace tivra::server
