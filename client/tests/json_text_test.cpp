#include <gtest/gtest.h>

#include "net/json_text.h"

TEST(JsonText, Placeholder) { EXPECT_EQ(JsonEscape("a"), "a"); }
