// The host's view of the module: driver information, the refusal of
// unsupported and unknown opcodes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "qvotk/qvotk.h"
#include "support/requests.h"

namespace {

// The numbers are the host's interface; everything else uses the names.
static_assert(QVO_OP_OPEN_CHANNEL == 1 && QVO_OP_FLUSH_INPUT == 2 && QVO_OP_VALIDATE_POINT == 3 &&
              QVO_OP_CHECK_BLOCK_POINT == 4 && QVO_OP_READ_VALUE == 5 && QVO_OP_READ_BLOCK == 6 &&
              QVO_OP_WRITE_VALUE == 7 && QVO_OP_UNSUPPORTED == 10 && QVO_OP_CLOSE_CHANNEL == 11 &&
              QVO_OP_CLOSE_CHANNEL_ALIAS == 12 && QVO_OP_REOPEN_CHANNEL == 13 && QVO_OP_DRIVER_INFO == 14 &&
              QVO_OP_RECONFIGURE_CHANNEL == 15);
static_assert(QVO_STATUS_OK == 0 && QVO_STATUS_REJECTED == 1 && QVO_STATUS_NO_ANSWER == 2);
static_assert(QVO_POINT_S == 0 && QVO_POINT_NUMBERED == 1);

TEST(DriverInfo, FillsEveryFieldBeforeAnyChannelExists) {
  QvoDriverInfo info;
  std::memset(&info, 0xAB, sizeof info);
  ASSERT_EQ(CallDriver(nullptr, QVO_OP_DRIVER_INFO, &info), QVO_STATUS_OK);
  EXPECT_EQ(info.driverCode, 70u);
  EXPECT_STREQ(info.driverName, "TOVEK ");
  EXPECT_EQ(info.channelSize, 688u);
  EXPECT_EQ(info.presetA, 4u);
  EXPECT_EQ(info.defaultLine.baudRate, 2400);
  EXPECT_EQ(info.defaultLine.dataBits, 8);
  EXPECT_EQ(info.defaultLine.stopBits, 0);
  EXPECT_EQ(info.defaultLine.parity, 0);
  EXPECT_EQ(info.presetB, 1u);

  QvoDriverInfo again{};
  ASSERT_EQ(CallDriver(nullptr, QVO_OP_DRIVER_INFO, &again), QVO_STATUS_OK);
  EXPECT_EQ(again.driverName, info.driverName);
  EXPECT_EQ(again.banner, info.banner);
}

TEST(DriverInfo, BannerIsFiveFramedLinesOfCodePage437) {
  QvoDriverInfo info{};
  ASSERT_EQ(CallDriver(nullptr, QVO_OP_DRIVER_INFO, &info), QVO_STATUS_OK);
  const std::string banner = info.banner;
  ASSERT_EQ(banner.size(), 316u);
  ASSERT_EQ(banner[0], '\n');

  std::string lines[5];
  for (int i = 0; i < 5; ++i) {
    lines[i] = banner.substr(1 + 63 * i, 62);
    EXPECT_EQ(banner[1 + 63 * i + 62], '\n') << "line " << i + 1;
    EXPECT_EQ(lines[i][0], ' ') << "line " << i + 1;
  }
  EXPECT_EQ(lines[0], " \xC9" + std::string(59, '\xCD') + "\xBB");
  EXPECT_EQ(lines[4], " \xC8" + std::string(59, '\xCD') + "\xBC");
  for (int i = 1; i <= 3; ++i) {
    EXPECT_EQ(lines[i][1], '\xBA') << "line " << i + 1;
    EXPECT_EQ(lines[i][61], '\xBA') << "line " << i + 1;
  }
  const std::string shades =
      std::string(5, '\xDB') + std::string(6, '\xB2') + std::string(6, '\xB1') + std::string(6, '\xB0');
  const std::string shadesBack =
      std::string(6, '\xB0') + std::string(6, '\xB1') + std::string(6, '\xB2') + std::string(5, '\xDB');
  EXPECT_EQ(lines[1], " \xBA " + shades + " Q V O T K " + shadesBack + " \xBA");
  EXPECT_EQ(lines[2], " \xBA" + std::string(11, ' ') + "TOVEK - ORBAL system, driver Installed." +
                          std::string(9, ' ') + "\xBA");
  const std::string notice = lines[3].substr(9, 45);
  EXPECT_EQ(notice.substr(45 - 12), "Version 7.50");
  EXPECT_EQ(lines[3].substr(2, 7), std::string(7, ' '));
  EXPECT_EQ(lines[3].substr(54, 7), std::string(7, ' '));
}

TEST(Dispatch, UnsupportedRequestAnswersOneWithOrWithoutChannel) {
  EXPECT_EQ(CallDriver(nullptr, QVO_OP_UNSUPPORTED), QVO_STATUS_REJECTED);
  QvoChannel channel{};
  EXPECT_EQ(CallDriver(&channel, QVO_OP_UNSUPPORTED), QVO_STATUS_REJECTED);
  QvoChannel untouched{};
  EXPECT_EQ(std::memcmp(&channel, &untouched, sizeof channel), 0);
}

TEST(Dispatch, OpcodesWithoutHandlerAnswerOneAndTouchNothing) {
  unsigned char params[64];
  std::memset(params, 0x5A, sizeof params);
  for (uint32_t opcode : {0u, 8u, 9u, 16u, 17u, 255u, 0xFFFFFFFFu}) {
    EXPECT_EQ(CallDriver(nullptr, opcode, params), QVO_STATUS_REJECTED) << "opcode " << opcode;
  }
  for (unsigned char byte : params) ASSERT_EQ(byte, 0x5A);
  EXPECT_EQ(QvoMain(nullptr), QVO_STATUS_REJECTED);
}

}  // namespace
