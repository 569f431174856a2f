// The half-duplex exchange as call sequences on the simulated line, and the
// reply window it hands over: what it skips, and when it gives up.
#include "serial/exchange.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/serial/line_timing.h"
#include "qvotk/qvotk.h"
#include "support/sim_line_test.h"

namespace {

using sim::Service;
using sim::SimLine;

const std::string kFrame = ":0508001268007E\r\n";
const std::string kReply = ":070000126800170000\r\n";  // 21 characters

class ExchangeTest : public SimLineTest {
 protected:
  void SetUp() override {
    SimLineTest::SetUp();
    ASSERT_EQ(CommOpen("COM1", kTestPort, COMM_RTS_ON, &port), CommStatus::Ok);
    StartTurns(&turn, port, ':');
    line().ClearCalls();
  }
  bool Send() { return SendFrame(&turn, kFrame.data(), static_cast<uint32_t>(kFrame.size())); }
  // Receives a window of the reply's length; its text, or "" when none came.
  std::string Window(uint32_t length = 21) {
    return ReceiveWindow(&turn, window, length) ? std::string(window, length) : "";
  }
  const sim::ServiceCall& LastCall() const { return line().Calls().back(); }

  PortHandle port = kNoPort;
  LineTurn turn{};
  char window[600] = {};
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
  device->Deliver(kReply);
  EXPECT_EQ(Window(), kReply);
  ASSERT_EQ(RecordedReports().size(), 3u);
  EXPECT_EQ(RecordedReports()[0].text, " QvoTK: Fail to set RTS to on");
  EXPECT_EQ(RecordedReports()[1].text, " QvoTK: Fail to set RTS to off");
  EXPECT_EQ(RecordedReports()[2].text, " QvoTK: Fail to set RTS to off");
  for (const auto& report : RecordedReports()) EXPECT_EQ(report.code, 32);
}

TEST_F(ExchangeTest, StrayInputIsDiscardedBeforeTheSend) {
  device->Deliver("junk from an earlier reply:");
  EXPECT_TRUE(Send());
  device->Deliver(kReply);
  EXPECT_EQ(Window(), kReply);
}

TEST_F(ExchangeTest, AWindowIsOneReadAndClearsRtsOrEndsByItsDeadline) {
  device->Deliver(kReply, 5000);
  EXPECT_EQ(Window(), kReply);
  EXPECT_EQ(line().CallSequence(), (std::vector<Service>{Service::Read, Service::SetRts}));
  EXPECT_EQ(line().NowMilliseconds(), 5u);

  // 20 of 21 characters, and no more: after the read time-out, the reply's
  // and the skipped noise's time on the wire at most.
  const uint64_t start = line().NowMicroseconds();
  device->Deliver(kReply.substr(0, 20));
  EXPECT_EQ(Window(), "");
  EXPECT_EQ(std::string(window, 20), kReply.substr(0, 20)) << "what arrived stays in the buffer";
  EXPECT_LE(line().NowMicroseconds() - start, 1000000u + (21 + kMaxSkippedCharacters) * 1042u);
  EXPECT_EQ(LastCall().service, Service::SetRts);
}

TEST_F(ExchangeTest, NoiseThatNeverStopsEndsTheAttemptByItsDeadline) {
  // A dead controller and a line that picks up a stray byte every 20 ms,
  // each of them keeping a read alive.
  for (int i = 1; i <= 5000; ++i) device->DeliverAt(static_cast<uint64_t>(i) * 20000, "x");
  EXPECT_TRUE(Send());
  const uint64_t start = line().NowMicroseconds();
  EXPECT_EQ(Window(), "");
  EXPECT_LE(line().NowMicroseconds() - start, 1000000u + (21 + kMaxSkippedCharacters) * 1042u);
}

TEST_F(ExchangeTest, EveryCopyOfTheFrameIsDroppedAndNeverTaken) {
  // A two-wire adapter: every character comes back after it has left; a
  // repeater sends one more copy.
  device->echoMicroseconds = 500;
  EXPECT_TRUE(Send());
  device->Deliver(kFrame + kReply, 20000);
  EXPECT_EQ(Window(), kReply);

  // A reply equal to the frame sent is dropped as its echo: on a line
  // without echo it is never taken.
  device->echoMicroseconds = -1;
  device->responder = [](sim::SimDevice& d, std::string_view frame) { d.Deliver(frame); };
  EXPECT_TRUE(Send());
  EXPECT_EQ(Window(static_cast<uint32_t>(kFrame.size())), "");

  // An echo cut short holds the reply's ":": the window starts there.
  device->responder = [](sim::SimDevice& d, std::string_view frame) {
    d.Deliver(std::string(frame.substr(0, 5)) + kReply);
  };
  EXPECT_TRUE(Send());
  EXPECT_EQ(Window(), kReply);
}

TEST_F(ExchangeTest, WhatCameBeforeTheFrameLeftIsNoAnswerToIt) {
  // A paced line: a duplicate of an earlier reply begins while the frame is
  // still on the wire.
  device->microsecondsPerCharacter = 1042;
  device->DeliverAt(5000, ":0700001268000F0000\r\n");
  device->responder = [](sim::SimDevice& d, std::string_view) { d.Deliver(kReply); };
  EXPECT_TRUE(Send());
  EXPECT_EQ(Window(), kReply);
}

TEST_F(ExchangeTest, ADamagedByteCountsOnlyInsideTheWindow) {
  sim::LineFlaws noise;
  noise.damaged = {1};
  EXPECT_TRUE(Send());
  device->DeliverAt(line().NowMicroseconds(), "~~~", noise);
  device->Deliver(kReply);
  EXPECT_EQ(Window(), kReply);
  EXPECT_FALSE(turn.damaged) << "a damaged byte among the noise costs nothing";

  sim::LineFlaws digit;
  digit.damaged = {13};
  EXPECT_TRUE(Send());
  device->DeliverAt(line().NowMicroseconds(), kReply, digit);
  EXPECT_NE(Window(), "");
  EXPECT_EQ(static_cast<unsigned char>(window[13]), kErrorChar);
  EXPECT_TRUE(turn.damaged);

  sim::LineFlaws overrun;
  overrun.overrun = true;
  overrun.overrunAt = 10;
  EXPECT_TRUE(Send());
  device->DeliverAt(line().NowMicroseconds(), kReply, overrun);
  EXPECT_EQ(Window(), kReply);
  EXPECT_TRUE(turn.damaged) << "input lost during the reply";
}

// A drain that returns a jiffy after the last stop bit must not count a
// quick controller's first characters as stale; a transmitter that was empty
// sooner than the wire allows (an emulated UART) had no wire at all.
TEST(StaleBytes, CountOnlyWhatCameBeforeTheFrameCouldHaveLeft) {
  constexpr uint32_t kCharacterNs = 1041666;  // 9600 baud, 8N1
  EXPECT_EQ(StaleBytes(21, 20000, 20000, kCharacterNs), 21u) << "counted as the frame left";
  EXPECT_EQ(StaleBytes(21, 24000, 20000, kCharacterNs), 17u) << "4 ms late: 4 of them may be the reply";
  EXPECT_EQ(StaleBytes(3, 30000, 20000, kCharacterNs), 0u);
  EXPECT_EQ(StaleBytes(21, 5000, 20000, kCharacterNs), 0u) << "out sooner than the wire allows";
  EXPECT_EQ(StaleBytes(21, 20000, 20000, 0), 0u) << "no line settings";
}

}  // namespace
