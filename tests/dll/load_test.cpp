#include "test_support.h"

TEST(LoadedDll, HandsOutTheTable) {
    LoadedProvider provider;
    ASSERT_NE(nullptr, provider.table());
    EXPECT_EQ(1, provider.table()->Version.MajorVersion);
}
