#include "foundation/json.h"

#include <gtest/gtest.h>

TEST(Json, Smoke) {
    JsonValue v;
    ASSERT_TRUE(parse(" {\"a\" : [1, 2.5, \"x\"]} ", v));
    EXPECT_EQ(dump(v), "{\"a\":[1,2.5,\"x\"]}");
}
