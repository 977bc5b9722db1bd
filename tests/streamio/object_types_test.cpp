// The object type catalogue: every number's name and route.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "streamio/object_types.h"

using namespace LumoraQSStream;

namespace {

struct Expected {
  int32_t Number;
  const char* Name;
  ERoute Route;
};

// Written out from the routing the packet reader must give each number.
const Expected Known[] = {
    {1, "StreamInfo", ERoute::Static},
    {2, "SubjectInfo", ERoute::Static},
    {3, "DeviceInfo", ERoute::Static},
    {4, "DeviceOutputInfo", ERoute::Static},
    {5, "FrameNumber", ERoute::Dynamic},
    {6, "MarkerPositions", ERoute::Dynamic},
    {7, "MarkerRecords", ERoute::Dynamic},
    {8, "OtherSegmentPoses", ERoute::Skipped},
    {9, "GlobalSegmentPoses", ERoute::Dynamic},
    {10, "ForceData", ERoute::Dynamic},
    {11, "MomentData", ERoute::Dynamic},
    {12, "CentreOfPressureData", ERoute::Dynamic},
    {13, "VoltageData", ERoute::Dynamic},
    {14, "NamedVectorInfo", ERoute::Static},
    {15, "Reserved15", ERoute::Skipped},
    {16, "BlockData", ERoute::Dynamic},
    {17, "ChunkData", ERoute::Dynamic},
    {18, "ShortRecordData", ERoute::Dynamic},
    {19, "NamedParameterInfo", ERoute::Static},
    {20, "WordBlockInfo", ERoute::Static},
    {21, "Reserved21", ERoute::Skipped},
    {22, "VideoFrame", ERoute::Dynamic},
    {100001, "ObjectTypeList", ERoute::Skipped},
    {100002, "StreamMode", ERoute::Skipped},
    {100004, "PacketSummary", ERoute::Summary},
};

const char* RouteName(ERoute route) {
  switch (route) {
    case ERoute::Static: return "static";
    case ERoute::Dynamic: return "dynamic";
    case ERoute::Summary: return "summary";
    case ERoute::Skipped: return "skipped";
  }
  return "?";
}

TEST(ObjectTypes, EveryCatalogueNumberHasItsNameAndRoute) {
  for (const Expected& entry : Known) {
    SCOPED_TRACE(entry.Number);
    EXPECT_STREQ(RouteName(RouteOf(entry.Number)), RouteName(entry.Route));
    EXPECT_STREQ(ObjectTypeName(entry.Number), entry.Name);
    const VObjectTypeInfo* info = FindObjectType(entry.Number);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->Number, entry.Number);
    EXPECT_STREQ(info->Name, entry.Name);
    EXPECT_EQ(info->Route, entry.Route);
  }
}

TEST(ObjectTypes, EnumValuesMatchTheWireNumbers) {
  EXPECT_EQ(StreamInfo, 1);
  EXPECT_EQ(FrameNumber, 5);
  EXPECT_EQ(GlobalSegmentPoses, 9);
  EXPECT_EQ(VoltageData, 13);
  EXPECT_EQ(VideoFrame, 22);
  EXPECT_EQ(ObjectTypeList, 100001);
  EXPECT_EQ(StreamMode, 100002);
  EXPECT_EQ(PacketSummary, 100004);
  EXPECT_EQ(PacketMagic, 0x1A2B3C4D);
  const uint8_t arrival[4] = {0x4D, 0x3C, 0x2B, 0x1A};
  int32_t magic = 0;
  std::memcpy(&magic, arrival, 4);
  EXPECT_EQ(magic, PacketMagic);
}

TEST(ObjectTypes, NumbersOutsideTheCatalogueAreSkippedAndUnnamed) {
  const int32_t unknown[] = {0,      -1,     -3,     -22,    23,        24,
                             99,     100000, 100003, 100005, 1000001,   -100004,
                             std::numeric_limits<int32_t>::max(), std::numeric_limits<int32_t>::min()};
  for (int32_t number : unknown) {
    SCOPED_TRACE(number);
    EXPECT_EQ(RouteOf(number), ERoute::Skipped);
    EXPECT_EQ(FindObjectType(number), nullptr);
    EXPECT_STREQ(ObjectTypeName(number), "");
  }
}

TEST(ObjectTypes, EveryNumberFromMinus50To150RoutesAsListed) {
  for (int32_t number = -50; number <= 150; ++number) {
    ERoute expected = ERoute::Skipped;
    for (const Expected& entry : Known) {
      if (entry.Number == number) expected = entry.Route;
    }
    EXPECT_EQ(RouteOf(number), expected) << number;
  }
}

}  // namespace
