#include "log/DirHelper.h"

#include <gtest/gtest.h>

TEST(DirHelper, AnUnregisteredKindIsEmptyEvenWithASeparator)
{
    EXPECT_EQ(DirHelper::getDir(DIR_ROOT, true), "");
    EXPECT_EQ(DirHelper::getDir(DIR_ROOT, false), "");
}

TEST(DirHelper, ARegisteredPathGetsOneSeparatorAppended)
{
    const unsigned kind = 3;
    DirHelper::setDir(kind, "/srv/bridge");
    EXPECT_EQ(DirHelper::getDir(kind, false), "/srv/bridge");
    EXPECT_EQ(DirHelper::getDir(kind, true), "/srv/bridge/");
    DirHelper::setDir(kind, "/srv/bridge/");
    EXPECT_EQ(DirHelper::getDir(kind, true), "/srv/bridge//");
    EXPECT_EQ(DirHelper::getDir(DIR_ROOT, true), "") << "other kinds stay unregistered";
}
