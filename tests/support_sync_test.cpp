#include <gtest/gtest.h>

#include "zorbel/zorbel.h"

TEST(Headers, UmbrellaCompiles) { EXPECT_STREQ(dll_ver, "2.9 07/09/2001"); }
