#include "framework/tl_string.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

using corvane::CTLString;

TEST(StringSlicing, LeftMidRight) {
  CTLString s("abc");
  EXPECT_STREQ(s.Left(100).GetString(), "abc");
  EXPECT_STREQ(s.Left(-1).GetString(), "abc");
  EXPECT_STREQ(s.Left(2).GetString(), "ab");
  EXPECT_STREQ(s.Left(0).GetString(), "");
  EXPECT_THROW(s.Right(4), std::out_of_range);
  EXPECT_STREQ(s.Right(3).GetString(), "abc");
  EXPECT_STREQ(s.Right(1).GetString(), "c");
  EXPECT_STREQ(s.Mid(3).GetString(), "");
  EXPECT_STREQ(s.Mid(1).GetString(), "bc");
  EXPECT_THROW(s.Mid(4), std::out_of_range);
  EXPECT_STREQ(s.MidCount(1, 10).GetString(), "bc");
  EXPECT_STREQ(s.MidCount(0, 2).GetString(), "ab");
  EXPECT_STREQ(s.MidCount(1, -1).GetString(), "bc");
  EXPECT_THROW(s.MidCount(4, 1), std::out_of_range);
}
