#include <gtest/gtest.h>
#include "config/settings.h"
TEST(Placeholder, Builds) { EXPECT_EQ(trimWhitespace("  a "), "a"); }
