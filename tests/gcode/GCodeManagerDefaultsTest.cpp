#include "GCodeManager.h"

#include <gtest/gtest.h>

// Alone in its binary: the instance must not have been touched before.
TEST(GCodeManagerDefaults, FreshInstance) {
    GCodeManager& manager = GCodeManager::GetInstance();
    EXPECT_EQ(manager.GetAxisResolution("X"), 400.0);
    EXPECT_EQ(manager.GetAxisResolution("Y"), 400.0);
    EXPECT_EQ(manager.GetAxisResolution("Z"), 1600.0);
    EXPECT_EQ(manager.GetAxisResolution("E"), 400.0);
    EXPECT_TRUE(manager.IsAbsoluteAxis("Z"));
    EXPECT_FALSE(manager.IsAbsoluteAxis("E"));
    EXPECT_EQ(manager.GetForwardLimit("Z"), 334500u);
    EXPECT_EQ(manager.GetFeedrate(), 1000.0);
    EXPECT_EQ(manager.GetUnits(), 0);
    EXPECT_TRUE(manager.GetLines().empty());
    EXPECT_EQ(manager.GetBedLevelSettings(true, true).dump(),
              R"({"enabled":true,"recalculate":true,"samples":1,"xlimit":99200,"xregions":2,)"
              R"("ylimit":96500,"yregions":2})");
}
