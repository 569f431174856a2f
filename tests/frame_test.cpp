// The frame codec against frames a controller sends and takes, and every request
// frame byte for byte.
#include "protocol/frame.h"

#include <gtest/gtest.h>

#include <string>

#include "protocol/request_frames.h"

namespace {

TEST(UpcaseChar, TakesThirtyTwoOffBytes97To127Only) {
  EXPECT_EQ(UpcaseChar('a'), 'A');
  EXPECT_EQ(UpcaseChar('f'), 'F');
  EXPECT_EQ(UpcaseChar('z'), 'Z');
  EXPECT_EQ(UpcaseChar('{'), '[');
  EXPECT_EQ(UpcaseChar('~'), '^');
  EXPECT_EQ(UpcaseChar('\x7F'), '_');
  for (char unchanged : {'A', '0', ' ', '`', '\xE4', '\xFF', '\x80', '\0'}) {
    EXPECT_EQ(UpcaseChar(unchanged), unchanged) << static_cast<int>(unchanged);
  }
}

TEST(FrameChecksum, IsTheTwosComplementOfTheBodySum) {
  EXPECT_EQ(FrameChecksum("05000110", 4), 0xEA);
  EXPECT_EQ(FrameChecksum("0800016800", 5), 0x8F);
  EXPECT_EQ(FrameChecksum("090001720010", 6), 0x74);
  EXPECT_EQ(FrameChecksum(nullptr, 0), 0x00);
  EXPECT_EQ(FrameChecksum("0001020aF3", 4), FrameChecksum("0001020AF3", 4));
}

std::string Frame(uint32_t length, const char* text) { return std::string(text, length); }

TEST(RequestFrames, MatchTheWorkedExamplesByteForByte) {
  char frame[64];
  EXPECT_EQ(Frame(BuildReadSPointRequest(frame, 12), frame), ":0508001268007E\r\n");
  EXPECT_EQ(Frame(BuildReadSPointRequest(frame, 1), frame), ":0508000168008F\r\n");
  EXPECT_EQ(Frame(BuildReadPointRequest(frame, 1, 1), frame), ":0609000166001080\r\n");
  EXPECT_EQ(Frame(BuildWritePointRequest(frame, 12, 5, 1), frame), ":0609001271005024\r\n");
  EXPECT_EQ(Frame(BuildWritePointRequest(frame, 1, 1, 2), frame), ":0609000172001074\r\n");
  EXPECT_EQ(Frame(BuildWriteSPointRequest(frame, 1, 1), frame), ":0405000110EA\r\n");
  EXPECT_EQ(Frame(BuildWriteSPointRequest(frame, 12, 3), frame), ":0405001230B9\r\n");
  EXPECT_EQ(Frame(BuildBlockRequest(frame, 12), frame), ":040600126682\r\n");
}

TEST(RequestFrames, HaveTheLengthsOfTheirCommands) {
  char frame[64];
  EXPECT_EQ(BuildWriteSPointRequest(frame, 9999, 9), 15u);
  EXPECT_EQ(BuildWritePointRequest(frame, 9999, 999, 2), 19u);
  EXPECT_EQ(BuildReadSPointRequest(frame, 9999), 17u);
  EXPECT_EQ(BuildReadPointRequest(frame, 9999, 999), 19u);
  EXPECT_EQ(BuildBlockRequest(frame, 9999), 15u);
  EXPECT_LE(kLongestRequestLength, 50u);  // fits the channel's transmit scratch
}

TEST(FrameWriter, WritesLeadingDigitsOfAWideNumber) {
  char frame[32] = {};
  FrameWriter w = StartFrame(frame, 4);
  PutDecimal(&w, 12345, 4);
  PutDecimal(&w, 25, 1);
  PutDecimal(&w, 7, 3);
  EXPECT_EQ(std::string(frame, w.length), ":0412342007");
}

}  // namespace
