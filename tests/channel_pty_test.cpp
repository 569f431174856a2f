// A channel through QvoMain on a real pseudo-terminal, with the test
// playing the controller on the other side.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "qvotk/qvotk.h"
#include "serial/exchange.h"
#include "support/pty.h"
#include "support/recorded_reports.h"
#include "support/temp_dir.h"

namespace {

TEST(ChannelOnPseudoTerminal, OpensSendsAndReceives) {
  PseudoTerminal pty;
  ASSERT_TRUE(pty.ok());
  TemporaryWorkingDirectory workingDirectory;
  workingDirectory.WriteFile("QVOTK04.int", "STATION=0012\r\n");

  QvoChannel channel{};
  QvoOpenParams open{};
  std::strncpy(open.portName, pty.portName().c_str(), sizeof open.portName - 1);
  open.enable = 1;
  open.timeout = 20;
  open.lineParams = {9600, 8, 0, 0};
  QvoRequest request{&channel, QVO_OP_OPEN_CHANNEL, 4, 0, &open};
  ASSERT_EQ(QvoMain(&request), QVO_STATUS_OK);
  EXPECT_EQ(channel.stationAddress, 12);

  const std::string frame = ":0508001268007E\r\n";
  ASSERT_TRUE(SendFrame(channel.port, frame.data(), static_cast<uint32_t>(frame.size())));
  EXPECT_EQ(pty.Read(frame.size(), 1000), frame);
  const std::string reply = ":0708000000003F00C1\r\n";
  pty.Write(reply);
  char buffer[64];
  ASSERT_TRUE(ReceiveFrame(channel.port, buffer, static_cast<uint32_t>(reply.size())));
  EXPECT_EQ(std::string(buffer, reply.size()), reply);

  request.opcode = QVO_OP_CLOSE_CHANNEL;
  EXPECT_EQ(QvoMain(&request), QVO_STATUS_OK);
  EXPECT_EQ(channel.port, kNoPort);
}

TEST(ChannelOnPseudoTerminal, MissingPortIsReportedToTheHost) {
  RecordedReports().clear();
  QvoChannel channel{};
  QvoOpenParams open{};
  std::strncpy(open.portName, "ttyNOPE9", sizeof open.portName - 1);
  open.enable = 1;
  QvoRequest request{&channel, QVO_OP_OPEN_CHANNEL, 1, 0, &open};
  EXPECT_EQ(QvoMain(&request), QVO_STATUS_NO_ANSWER);
  ASSERT_EQ(RecordedReports().size(), 1u);
  EXPECT_EQ(RecordedReports()[0].text, "QVOTOVEK  : Fail to open ttyNOPE9");
}

}  // namespace
