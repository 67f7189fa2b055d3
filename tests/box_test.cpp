#include <gtest/gtest.h>
#include "lib/box.h"
TEST(Box, Fourcc) { EXPECT_EQ(reelknit::fourcc("moov"), 0x6D6F6F76u); }
