#include "stream/video_conversion.h"

#include <gtest/gtest.h>

#include <vector>

using LumoraQSStream::VVideoFrame;
using LumoraQSStream::VRecordArray;

namespace {

VVideoFrame Frame(uint16_t width, uint16_t height, int32_t format, std::vector<uint8_t> data) {
  VVideoFrame frame;
  frame.Width = width;
  frame.Height = height;
  frame.Format = format;
  frame.Data.assign(data.begin(), data.end());
  return frame;
}

// Output row 1 of the 4 x 2 example image (row 0 = 10 20 30 40, row 1 =
// 50 60 70 80), three bytes per pixel.
std::vector<uint8_t> ConvertedRow1(int32_t format) {
  std::vector<uint8_t> buffer;
  VVideoFrame frame = Frame(4, 2, format, {10, 20, 30, 40, 50, 60, 70, 80});
  ConvertVideoFrame(frame, buffer);
  EXPECT_EQ(frame.Format, VideoFormat::ThreeBytes);
  EXPECT_EQ(frame.Data.size(), 4u * 2u * 3u);
  // Row 0 is black.
  EXPECT_EQ(std::vector<uint8_t>(frame.Data.begin(), frame.Data.begin() + 12),
            std::vector<uint8_t>(12, 0));
  return std::vector<uint8_t>(frame.Data.begin() + 12, frame.Data.end());
}

}  // namespace

TEST(VideoConversion, MosaicExamplesToTheByte) {
  EXPECT_EQ(ConvertedRow1(3), (std::vector<uint8_t>{60, 35, 10, 60, 45, 30, 80, 55, 30, 0, 0, 0}));
  EXPECT_EQ(ConvertedRow1(2), (std::vector<uint8_t>{20, 35, 50, 20, 45, 70, 40, 55, 70, 0, 0, 0}));
  EXPECT_EQ(ConvertedRow1(5), (std::vector<uint8_t>{50, 35, 20, 70, 45, 20, 70, 55, 40, 0, 0, 0}));
}

TEST(VideoConversion, EvenRowsUseTheOtherRule) {
  // Three rows: output row 2 is even, so format 3 applies rule A with
  // Y = input row 1 and X = input row 2.
  std::vector<uint8_t> buffer;
  VVideoFrame frame = Frame(2, 3, 3, {0, 0, 1, 3, 5, 7});
  ConvertVideoFrame(frame, buffer);
  ASSERT_EQ(frame.Data.size(), 18u);
  // Rule A, c = 0: (Y[1], avg(X[1], Y[0]), X[0]) = (3, avg(7, 1), 5).
  EXPECT_EQ(std::vector<uint8_t>(frame.Data.begin() + 12, frame.Data.begin() + 15),
            (std::vector<uint8_t>{3, 4, 5}));
  EXPECT_EQ(std::vector<uint8_t>(frame.Data.begin() + 15, frame.Data.end()),
            (std::vector<uint8_t>{0, 0, 0}));
}

TEST(VideoConversion, OtherFormatsPassUnchanged) {
  std::vector<uint8_t> buffer;
  for (int32_t format : {0, 1, 4, 6, 7, -1}) {
    VVideoFrame frame = Frame(2, 2, format, {1, 2, 3, 4});
    ConvertVideoFrame(frame, buffer);
    EXPECT_EQ(frame.Format, format);
    EXPECT_EQ(frame.Data, (VRecordArray<uint8_t>{1, 2, 3, 4}));
  }
}

TEST(VideoConversion, SingleRowIsAllBlack) {
  std::vector<uint8_t> buffer(64, 0xAB);  // stale content from an earlier frame
  VVideoFrame frame = Frame(6, 1, 3, {9, 9, 9, 9, 9, 9});
  ConvertVideoFrame(frame, buffer);
  EXPECT_EQ(frame.Format, VideoFormat::ThreeBytes);
  EXPECT_EQ(frame.Data, VRecordArray<uint8_t>(18, 0));
}

TEST(VideoConversion, ReusedBufferLeavesNoStaleBytes) {
  std::vector<uint8_t> buffer;
  VVideoFrame large = Frame(8, 4, 3, std::vector<uint8_t>(32, 200));
  ConvertVideoFrame(large, buffer);
  VVideoFrame small = Frame(4, 2, 3, {10, 20, 30, 40, 50, 60, 70, 80});
  ConvertVideoFrame(small, buffer);
  EXPECT_EQ(small.Data, (VRecordArray<uint8_t>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  //
                                              60, 35, 10, 60, 45, 30, 80, 55, 30, 0, 0, 0}));
}

TEST(VideoConversion, OddWidthConvertsAndBlacksTheLastColumn) {
  // Width 3: the pair at column 0 is complete (its second pixel reads
  // column 2); column 2 itself has no partner and stays black.
  std::vector<uint8_t> buffer;
  VVideoFrame frame = Frame(3, 2, 3, {10, 20, 30, 50, 60, 70});
  ConvertVideoFrame(frame, buffer);
  EXPECT_EQ(frame.Format, VideoFormat::ThreeBytes);
  EXPECT_EQ(std::vector<uint8_t>(frame.Data.begin() + 9, frame.Data.end()),
            (std::vector<uint8_t>{60, 35, 10, 60, 45, 30, 0, 0, 0}));

  VVideoFrame narrow = Frame(1, 3, 5, {1, 2, 3});
  ConvertVideoFrame(narrow, buffer);
  EXPECT_EQ(narrow.Data, VRecordArray<uint8_t>(9, 0));
}

TEST(VideoConversion, EmptyImagesBecomeEmptyThreeByteImages) {
  std::vector<uint8_t> buffer;
  VVideoFrame noWidth = Frame(0, 5, 2, {});
  ConvertVideoFrame(noWidth, buffer);
  EXPECT_EQ(noWidth.Format, VideoFormat::ThreeBytes);
  EXPECT_TRUE(noWidth.Data.empty());

  VVideoFrame noHeight = Frame(7, 0, 5, {1, 2});
  ConvertVideoFrame(noHeight, buffer);
  EXPECT_EQ(noHeight.Format, VideoFormat::ThreeBytes);
  EXPECT_TRUE(noHeight.Data.empty());
}

TEST(VideoConversion, ShortDataIsLeftUnchanged) {
  std::vector<uint8_t> buffer;
  VVideoFrame frame = Frame(4, 4, 3, {1, 2, 3, 4, 5, 6, 7});  // 16 announced, 7 present
  ConvertVideoFrame(frame, buffer);
  EXPECT_EQ(frame.Format, 3);
  EXPECT_EQ(frame.Data, (VRecordArray<uint8_t>{1, 2, 3, 4, 5, 6, 7}));

  // The largest image the header can announce, with almost no data.
  VVideoFrame huge = Frame(65535, 65535, 2, {1});
  ConvertVideoFrame(huge, buffer);
  EXPECT_EQ(huge.Format, 2);
  EXPECT_EQ(huge.Data.size(), 1u);
}
