// The half-duplex exchange as call sequences on the simulated line.
#include "serial/exchange.h"

#include <gtest/gtest.h>

#include <string>

#include "qvotk/qvotk.h"
#include "serial/serial_port.h"
#include "sim/sim_line.h"
#include "support/recorded_reports.h"

namespace {

using sim::Service;
using sim::SimLine;

const std::string kFrame = ":0508001268007E\r\n";

class ExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    line().Reset();
    RecordedReports().clear();
    device = &line().AddDevice("COM1");
    const LineParams params = {9600, 8, 0, 0};
    ASSERT_EQ(CommOpen("COM1", &params, COMM_RTS_ON, &channel.port), CommStatus::Ok);
    line().ClearCalls();
  }
  static SimLine& line() { return SimLine::Get(); }
  bool Send() { return SendFrame(channel.port, kFrame.data(), static_cast<uint32_t>(kFrame.size())); }
  const sim::ServiceCall& LastCall() const { return line().Calls().back(); }

  QvoChannel channel{};
  sim::SimDevice* device = nullptr;
};

TEST_F(ExchangeTest, CtsPresentAtOnceCostsOnePollAndNoSleep) {
  EXPECT_TRUE(Send());
  EXPECT_EQ(line().CallSequence(), (std::vector<Service>{Service::SetRts, Service::CountWaitingInput,
                                                         Service::ReadCts, Service::Write, Service::SetRts}));
  EXPECT_EQ(line().Calls().front().argument, 1u) << "RTS raised first";
  EXPECT_EQ(LastCall().argument, 0u) << "and cleared last";
  EXPECT_EQ(device->written, kFrame);
  EXPECT_FALSE(device->rts);
  EXPECT_EQ(line().NowMicroseconds(), 0u);
}

TEST_F(ExchangeTest, CtsAtTheNineteenthPollStillSends) {
  device->ctsFromPoll = 19;
  EXPECT_TRUE(Send());
  EXPECT_EQ(line().CountCalls(Service::ReadCts), 19u);
  EXPECT_EQ(line().CountCalls(Service::Sleep), 18u);
  EXPECT_EQ(device->written, kFrame);
}

TEST_F(ExchangeTest, CtsThatNeverComesSendsNothing) {
  device->ctsFromPoll = 0;
  EXPECT_FALSE(Send());
  EXPECT_EQ(line().CountCalls(Service::ReadCts), 19u);
  EXPECT_EQ(line().CountCalls(Service::Sleep), 19u);
  EXPECT_EQ(line().CountCalls(Service::Write), 0u);
  EXPECT_EQ(LastCall().service, Service::SetRts);
  EXPECT_EQ(LastCall().argument, 0u);
  EXPECT_EQ(line().NowMilliseconds(), 19u);

  device->ctsFromPoll = 1;
  device->failing = {Service::ReadCts};
  EXPECT_FALSE(Send()) << "a failing status query counts as CTS absent";
}

TEST_F(ExchangeTest, ShortOrFailedWriteFailsTheSend) {
  device->writeLimit = 5;
  EXPECT_FALSE(Send());
  EXPECT_EQ(LastCall().service, Service::SetRts);
  device->writeLimit = UINT32_MAX;
  device->failing = {Service::Write};
  EXPECT_FALSE(Send());
  EXPECT_EQ(LastCall().service, Service::SetRts);
}

TEST_F(ExchangeTest, RtsThatCannotBeSwitchedIsReportedButTheExchangeGoesOn) {
  device->failing = {Service::SetRts};
  EXPECT_TRUE(Send());
  EXPECT_EQ(device->written, kFrame);
  char reply[23];
  device->Deliver(std::string(23, '0'));
  EXPECT_TRUE(ReceiveFrame(channel.port, reply, 23));
  ASSERT_EQ(RecordedReports().size(), 3u);
  EXPECT_EQ(RecordedReports()[0].text, " QvoTK: Fail to set RTS to on");
  EXPECT_EQ(RecordedReports()[1].text, " QvoTK: Fail to set RTS to off");
  EXPECT_EQ(RecordedReports()[2].text, " QvoTK: Fail to set RTS to off");
  for (const auto& report : RecordedReports()) EXPECT_EQ(report.code, 32);
}

TEST_F(ExchangeTest, StrayInputIsDiscardedBeforeTheSend) {
  device->Deliver("junk from an earlier reply");
  EXPECT_TRUE(Send());
  device->Deliver("REPLY");
  char reply[5];
  ASSERT_TRUE(ReceiveFrame(channel.port, reply, 5));
  EXPECT_EQ(std::string(reply, 5), "REPLY");
}

TEST_F(ExchangeTest, ReceiveReadsExactlyTheLengthAndClearsRts) {
  char reply[32] = {};
  device->Deliver(std::string(23, 'A'), 5000);
  EXPECT_TRUE(ReceiveFrame(channel.port, reply, 23));
  EXPECT_EQ(line().CallSequence(), (std::vector<Service>{Service::Read, Service::SetRts}));
  EXPECT_EQ(line().NowMilliseconds(), 5u);

  const uint64_t start = line().NowMilliseconds();
  device->Deliver(std::string(20, 'B'));
  EXPECT_FALSE(ReceiveFrame(channel.port, reply, 23));
  EXPECT_EQ(std::string(reply, 20), std::string(20, 'B')) << "what arrived stays in the buffer";
  EXPECT_EQ(line().NowMilliseconds() - start, 2000u) << "two read time-outs";
  EXPECT_EQ(LastCall().service, Service::SetRts);

  EXPECT_FALSE(ReceiveFrame(channel.port, reply, 23));
  EXPECT_EQ(LastCall().service, Service::SetRts);
}

}  // namespace
