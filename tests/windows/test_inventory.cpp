#include "FakeKernel.h"
#include "diskinfo/DiskInfo.h"

#include <gtest/gtest.h>

TEST(Inventory, Smoke)
{
    FakeKernel::Reset();
    FakeKernel::Drive(0);
    FakeKernel::Drive(2);
    const auto drives = DiskManager::EnumerateDrives();
    ASSERT_EQ(drives.size(), 2u);
    EXPECT_EQ(drives[1].index, 2);
    EXPECT_EQ(FakeKernel::OpenHandles(), 0);
}
