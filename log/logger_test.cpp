#include "log/logger.h"
#include <gtest/gtest.h>
TEST(Logger, Placeholder) { EXPECT_EQ(nullptr, logger::current()); }
