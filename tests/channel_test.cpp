// The life of a channel through QvoMain, on the simulated line: each
// transition with the fields it must and must not change.
#include "entry/channel.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "entry/station_file.h"
#include "qvotk/qvotk.h"
#include "serial/serial_port.h"
#include "sim_line/attach.h"
#include "support/requests.h"
#include "support/sim_line_test.h"
#include "support/temp_dir.h"

namespace {

using sim::Service;
using sim::SimLine;

constexpr LineParams kLine = kTestLine;

class ChannelTest : public SimLineTest {
 protected:
  void SetUp() override {
    SimLineTest::SetUp();
    com1 = device;
    com2 = &line().AddDevice("COM2");
  }

  QvoStatus Call(uint32_t opcode, void* params = nullptr) { return CallDriver(&channel, opcode, params, 3); }
  QvoStatus Open(const std::string& port, uint32_t enable = 1, uint32_t timeout = 25,
                 int32_t lineNumber = 3) {
    return OpenChannelOn(&channel, port, lineNumber, timeout, kLine, enable);
  }
  QvoStatus Reconfigure(const std::string& port, LineParams line) {
    return ReconfigureChannelTo(&channel, port, line);
  }

  TemporaryWorkingDirectory workingDirectory;
  QvoChannel channel{};
  sim::SimDevice* com1 = nullptr;
  sim::SimDevice* com2 = nullptr;
};

TEST_F(ChannelTest, OpenTakesThePortAndTheSettings) {
  channel.stationAddress = 77;
  ASSERT_EQ(Open("COM1", 5, 25), QVO_STATUS_OK);
  EXPECT_NE(channel.port, kNoPort);
  EXPECT_TRUE(com1->isOpen);
  EXPECT_EQ(channel.active, 5u);
  EXPECT_EQ(channel.readTimeout, 25u);
  EXPECT_EQ(com1->timeouts.readTotalConstant, 250u);
  EXPECT_STREQ(channel.portSpec.portName, "COM1");
  EXPECT_EQ(channel.portSpec.lineParams.baudRate, 9600);
  EXPECT_EQ(channel.portSpec.openFlags, 0x0202);
  EXPECT_EQ(channel.stationAddress, 1) << "no station file: station 1";
  EXPECT_TRUE(RecordedReports().empty());
}

TEST_F(ChannelTest, OpenDisabledTouchesNothingButActive) {
  workingDirectory.WriteFile("QVOTK03.int", "=42");
  channel.active = 9;
  channel.stationAddress = 5;
  ASSERT_EQ(Open("COM1", 0), QVO_STATUS_OK);
  EXPECT_EQ(channel.active, 0u);
  EXPECT_EQ(channel.port, kNoPort);
  EXPECT_EQ(channel.stationAddress, 5) << "the station file is not read";
  EXPECT_EQ(line().CountCalls(Service::Open), 0u);

  ASSERT_EQ(Open("COM1"), QVO_STATUS_OK);
  const PortHandle held = channel.port;
  ASSERT_EQ(Open("COM1", 0), QVO_STATUS_OK);
  EXPECT_EQ(channel.port, held) << "a held port stays open";
  EXPECT_TRUE(com1->isOpen);
}

TEST_F(ChannelTest, FailedOpenIsReportedAndLeavesTheChannel) {
  ASSERT_EQ(Open("COM1", 1, 25), QVO_STATUS_OK);
  const QvoChannel before = channel;
  EXPECT_EQ(Open("COM9", 3, 80), QVO_STATUS_NO_ANSWER);
  ASSERT_EQ(RecordedReports().size(), 2u);
  EXPECT_EQ(RecordedReports()[0].code, 32);
  EXPECT_EQ(RecordedReports()[0].text, "QVOTOVEK  : Fail to open COM9");
  EXPECT_EQ(RecordedReports()[1].text, "QVOTOVEK  : COM9: not found") << "why, once";
  EXPECT_EQ(channel.active, 3u) << "only active changes";
  EXPECT_EQ(channel.port, before.port);
  EXPECT_EQ(channel.readTimeout, before.readTimeout);
  EXPECT_EQ(std::memcmp(&channel.portSpec, &before.portSpec, sizeof before.portSpec), 0);
}

TEST_F(ChannelTest, PortNameWithoutTerminatorCannotBeOpened) {
  EXPECT_EQ(Open(std::string(QVO_PORT_NAME_SIZE, 'C')), QVO_STATUS_NO_ANSWER);
  ASSERT_EQ(RecordedReports().size(), 1u);
  EXPECT_EQ(RecordedReports()[0].text, "QVOTOVEK  : Fail to open CCCCCCCCCCCC");
  EXPECT_EQ(line().CountCalls(Service::Open), 0u);
}

TEST_F(ChannelTest, CloseGivesThePortBackOnce) {
  EXPECT_EQ(Call(QVO_OP_CLOSE_CHANNEL), QVO_STATUS_OK) << "nothing held";
  ASSERT_EQ(Open("COM1"), QVO_STATUS_OK);
  const QvoChannel before = channel;
  ASSERT_EQ(Call(QVO_OP_CLOSE_CHANNEL_ALIAS), QVO_STATUS_OK);
  EXPECT_EQ(channel.port, kNoPort);
  EXPECT_FALSE(com1->isOpen);
  EXPECT_EQ(channel.active, before.active);
  EXPECT_EQ(channel.readTimeout, before.readTimeout);
  EXPECT_EQ(Call(QVO_OP_CLOSE_CHANNEL), QVO_STATUS_OK) << "a second close";

  ASSERT_EQ(Call(QVO_OP_REOPEN_CHANNEL), QVO_STATUS_OK);
  com1->failing = {Service::Close};
  const PortHandle held = channel.port;
  EXPECT_EQ(Call(QVO_OP_CLOSE_CHANNEL), QVO_STATUS_NO_ANSWER);
  EXPECT_EQ(channel.port, held) << "a failed close keeps the handle";
}

TEST_F(ChannelTest, ReopenUsesTheStoredSpecAndTheOpenTimeout) {
  ASSERT_EQ(Open("COM1", 7, 25), QVO_STATUS_OK);
  ASSERT_EQ(Call(QVO_OP_CLOSE_CHANNEL), QVO_STATUS_OK);
  ASSERT_EQ(Call(QVO_OP_REOPEN_CHANNEL), QVO_STATUS_OK);
  EXPECT_TRUE(com1->isOpen);
  EXPECT_EQ(channel.active, 1u);
  EXPECT_EQ(com1->timeouts.readTotalConstant, 1000u) << "reopen keeps the open's 1000 ms";
  EXPECT_EQ(channel.readTimeout, 25u);

  ASSERT_EQ(Call(QVO_OP_CLOSE_CHANNEL), QVO_STATUS_OK);
  channel.active = 0;
  com1->failing = {Service::Open};
  EXPECT_EQ(Call(QVO_OP_REOPEN_CHANNEL), QVO_STATUS_NO_ANSWER);
  EXPECT_EQ(channel.port, kNoPort);
  EXPECT_EQ(channel.active, 0u);
  EXPECT_TRUE(RecordedReports().empty()) << "reopen reports nothing";
}

TEST_F(ChannelTest, ReopenOfANeverOpenedChannelFailsWithoutReadingPastTheName) {
  std::memset(&channel, 'x', sizeof channel);
  channel.port = kNoPort;
  EXPECT_EQ(Call(QVO_OP_REOPEN_CHANNEL), QVO_STATUS_NO_ANSWER);
  EXPECT_EQ(line().CountCalls(Service::Open), 0u);
}

TEST_F(ChannelTest, ReconfigureMovesToAnotherPortAndAppliesTheStoredTimeout) {
  ASSERT_EQ(Open("COM1", 1, 25), QVO_STATUS_OK);
  channel.active = 0;
  ASSERT_EQ(Reconfigure("COM2", LineParams{19200, 7, 2, 2}), QVO_STATUS_OK);
  EXPECT_FALSE(com1->isOpen) << "the old port is closed first";
  EXPECT_TRUE(com2->isOpen);
  EXPECT_STREQ(channel.portSpec.portName, "COM2");
  EXPECT_EQ(channel.portSpec.lineParams.baudRate, 19200);
  EXPECT_EQ(com2->settings.byteSize, 7);
  EXPECT_EQ(channel.active, 1u);
  EXPECT_EQ(com2->timeouts.readTotalConstant, 250u);

  ASSERT_EQ(Call(QVO_OP_CLOSE_CHANNEL), QVO_STATUS_OK);
  ASSERT_EQ(Reconfigure("COM1", LineParams{0, 5, 5, 5}), QVO_STATUS_OK);
  EXPECT_EQ(channel.portSpec.lineParams.baudRate, 19200) << "baud 0 keeps the stored settings";
  EXPECT_EQ(channel.portSpec.lineParams.dataBits, 7);
  EXPECT_STREQ(channel.portSpec.portName, "COM1");
}

TEST_F(ChannelTest, ReconfigureOfTheHeldPortDoesNotCloseItFirst) {
  ASSERT_EQ(Open("COM1"), QVO_STATUS_OK);
  const PortHandle held = channel.port;
  EXPECT_EQ(Reconfigure("COM1", kLine), QVO_STATUS_NO_ANSWER) << "the port admits one opener";
  EXPECT_EQ(channel.port, held);
  EXPECT_TRUE(com1->isOpen);
}

TEST_F(ChannelTest, AChannelGivesBackItsPortOnceItHoldsAnother) {
  ASSERT_EQ(Open("COM1"), QVO_STATUS_OK);
  ASSERT_EQ(Open("COM2"), QVO_STATUS_OK);
  EXPECT_FALSE(com1->isOpen) << "free for another channel";
  EXPECT_TRUE(com2->isOpen);
  const PortHandle held = channel.port;
  EXPECT_EQ(Open("COM9"), QVO_STATUS_NO_ANSWER);
  EXPECT_EQ(channel.port, held) << "a failed open leaves the channel its port";
  EXPECT_TRUE(com2->isOpen);

  // A device that admits several openers: open, reopen and reconfigure to
  // the same name each take it anew, and the channel holds it once.
  sim::SimDevice& shared = line().AddDevice("NULL");
  shared.admitsSeveralOpeners = true;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(Open("NULL"), QVO_STATUS_OK);
    ASSERT_EQ(Call(QVO_OP_REOPEN_CHANNEL), QVO_STATUS_OK);
    ASSERT_EQ(Reconfigure("NULL", kLine), QVO_STATUS_OK);
  }
  EXPECT_FALSE(com2->isOpen);
  EXPECT_EQ(shared.openers, 1u);
  ASSERT_EQ(Call(QVO_OP_CLOSE_CHANNEL), QVO_STATUS_OK);
  EXPECT_EQ(shared.openers, 0u);
}

TEST_F(ChannelTest, FailedReconfigureKeepsTheNewSettingsAndNoPort) {
  ASSERT_EQ(Open("COM1"), QVO_STATUS_OK);
  com2->failing = {Service::Open};
  EXPECT_EQ(Reconfigure("COM2", LineParams{4800, 8, 0, 0}), QVO_STATUS_NO_ANSWER);
  EXPECT_EQ(channel.port, kNoPort) << "the old port was closed";
  EXPECT_STREQ(channel.portSpec.portName, "COM2");
  EXPECT_EQ(channel.portSpec.lineParams.baudRate, 4800);
  EXPECT_TRUE(RecordedReports().empty());
}

TEST_F(ChannelTest, ReconfigureNameThatDoesNotFitChangesNothing) {
  ASSERT_EQ(Open("COM1"), QVO_STATUS_OK);
  const QvoChannel before = channel;
  EXPECT_EQ(Reconfigure("COM1234567890", LineParams{4800, 8, 0, 0}), QVO_STATUS_REJECTED);
  EXPECT_EQ(std::memcmp(&channel, &before, sizeof channel), 0);
  EXPECT_TRUE(com1->isOpen);
}

TEST_F(ChannelTest, FlushDiscardsWaitingInputAndAlwaysSucceeds) {
  EXPECT_EQ(Call(QVO_OP_FLUSH_INPUT), QVO_STATUS_OK) << "no port";
  ASSERT_EQ(Open("COM1"), QVO_STATUS_OK);
  com1->Deliver("stray bytes");
  EXPECT_EQ(Call(QVO_OP_FLUSH_INPUT), QVO_STATUS_OK);
  EXPECT_TRUE(com1->input.empty());
  com1->failing = {Service::CountWaitingInput, Service::Read};
  EXPECT_EQ(Call(QVO_OP_FLUSH_INPUT), QVO_STATUS_OK);
}

TEST_F(ChannelTest, NullChannelOrBlockIsRefused) {
  for (uint32_t opcode : {QVO_OP_OPEN_CHANNEL, QVO_OP_FLUSH_INPUT, QVO_OP_CLOSE_CHANNEL,
                          QVO_OP_CLOSE_CHANNEL_ALIAS, QVO_OP_REOPEN_CHANNEL, QVO_OP_RECONFIGURE_CHANNEL}) {
    QvoOpenParams block{};
    PutPortName(block.portName, "COM1");
    block.enable = 1;
    EXPECT_EQ(CallDriver(nullptr, opcode, &block), QVO_STATUS_REJECTED) << opcode;
  }
  EXPECT_EQ(Call(QVO_OP_OPEN_CHANNEL, nullptr), QVO_STATUS_REJECTED);
  EXPECT_EQ(Call(QVO_OP_RECONFIGURE_CHANNEL, nullptr), QVO_STATUS_REJECTED);
  EXPECT_EQ(line().CountCalls(Service::Open), 0u);
}

TEST_F(ChannelTest, StationFileGivesTheAddress) {
  struct FileCase {
    const char* contents;
    uint16_t station;
  };
  const std::string hundredWithEqualsLast = std::string(99, 'x') + "=";
  const std::string numberCutAtHundred = std::string(96, ' ') + "=123" + "4";
  const FileCase cases[] = {
      {"STATION=0042", 42},
      {"ADDRESS = 12", 12},
      {"=12", 12},
      {"12", 1},
      {"=", 1},
      {"= x", 1},
      {"A=7\nB=8", 7},
      {"=+9999", 9999},
      {"=0", 0},
      {"=12345", kUnaddressableStation},
      {"=-1", kUnaddressableStation},
      {"=99999999999999999999", kUnaddressableStation},
      {hundredWithEqualsLast.c_str(), 1},
      {numberCutAtHundred.c_str(), 123},  // only the first 100 bytes count
  };
  for (const auto& c : cases) {
    workingDirectory.WriteFile("QVOTK03.int", c.contents);
    ASSERT_EQ(Open("COM1"), QVO_STATUS_OK);
    EXPECT_EQ(channel.stationAddress, c.station) << c.contents;
    ASSERT_EQ(Call(QVO_OP_CLOSE_CHANNEL), QVO_STATUS_OK);
  }
}

TEST_F(ChannelTest, StationFileIsNamedAfterTheLine) {
  workingDirectory.WriteFile("QVOTK07.int", "=7");
  workingDirectory.WriteFile("QVOTK12.int", "=12");
  ASSERT_EQ(Open("COM1", 1, 25, 7), QVO_STATUS_OK);
  EXPECT_EQ(channel.stationAddress, 7);
  ASSERT_EQ(Call(QVO_OP_CLOSE_CHANNEL), QVO_STATUS_OK);
  ASSERT_EQ(Open("COM1", 1, 25, 12), QVO_STATUS_OK);
  EXPECT_EQ(channel.stationAddress, 12);
}

// A USB adapter pulled out and put back under the same name: the channel
// finds its port again with no call of the host's. Meanwhile requests
// answer 2 at once, the device is sought at most once a second, and the
// host hears of the loss and of the return once each.
TEST_F(ChannelTest, AVanishedPortIsFoundAgainUnderItsHandle) {
  sim::ControllerBus bus;
  bus.Add(1).sPoint = 4;
  sim::AttachBus(*com1, bus);
  ASSERT_EQ(Open("COM1", 1, 30), QVO_STATUS_OK);
  const PortHandle held = channel.port;
  uint16_t values[2] = {};
  auto readS = [&] { return SendTransfer(&channel, QVO_OP_READ_VALUE, QVO_POINT_S, 0, 0, values); };
  ASSERT_EQ(readS(), QVO_STATUS_OK);

  com1->unplugged = true;
  RecordedReports().clear();
  uint64_t start = line().NowMicroseconds();
  EXPECT_EQ(readS(), QVO_STATUS_NO_ANSWER);
  EXPECT_LT(line().NowMicroseconds() - start, 30000u) << "no ten attempts against a dead port";
  EXPECT_EQ(readS(), QVO_STATUS_NO_ANSWER) << "sought at once, not found";
  line().ClearCalls();
  com1->unplugged = false;
  EXPECT_EQ(readS(), QVO_STATUS_NO_ANSWER) << "back, but sought less than a second ago";
  EXPECT_TRUE(line().Calls().empty()) << "a lost port costs a request no call";
  EXPECT_EQ(CountRecordedReports("QVOTOVEK  : Lost COM1"), 1u);

  line().Advance(1000000);
  ASSERT_EQ(readS(), QVO_STATUS_OK);
  EXPECT_EQ(values[1], 4);
  EXPECT_EQ(channel.port, held);
  EXPECT_EQ(com1->timeouts.readTotalConstant, 300u) << "the read time-out it had";
  EXPECT_EQ(CountRecordedReports("QVOTOVEK  : Found COM1 again"), 1u);
  EXPECT_EQ(RecordedReports().size(), 2u) << "nothing else: a port that has gone switches no RTS";

  // The host's own close of a lost port gives it back.
  com1->unplugged = true;
  EXPECT_EQ(readS(), QVO_STATUS_NO_ANSWER);
  EXPECT_EQ(Call(QVO_OP_CLOSE_CHANNEL), QVO_STATUS_OK);
  EXPECT_EQ(channel.port, kNoPort);
  EXPECT_FALSE(com1->isOpen);
}

}  // namespace
