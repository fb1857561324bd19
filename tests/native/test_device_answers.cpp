#include "diskinfo/DeviceAnswers.h"

#include <gtest/gtest.h>

TEST(DeviceAnswers, Smoke)
{
    EXPECT_EQ(DeviceAnswers::TrimBlanks("  ab \r\n"), "ab");
}
