// Serial port access on the simulated line, timing included: the virtual
// clock shows exactly how long each operation waited.
#include "serial/serial_port.h"

#include <gtest/gtest.h>

#include <string>

#include "support/sim_line_test.h"

namespace {

using sim::Service;
using sim::SimLine;

constexpr PortSettings kLine = kTestPort;

class SerialPortTest : public SimLineTest {
 protected:
  PortHandle OpenCom1(uint16_t flags = COMM_RTS_ON) {
    PortHandle port = kNoPort;
    EXPECT_EQ(CommOpen("COM1", kLine, flags, &port), CommStatus::Ok);
    return port;
  }
};

TEST_F(SerialPortTest, OpenConfiguresTheLineForTheController) {
  const PortHandle port = OpenCom1();
  EXPECT_TRUE(device->isOpen);
  EXPECT_EQ(device->settings.baudRate, 9600u);
  EXPECT_EQ(device->settings.byteSize, 8);
  EXPECT_EQ(device->settings.errorChar, 0xFC);
  EXPECT_EQ(device->timeouts.readTotalConstant, 1000u);
  EXPECT_EQ(device->timeouts.readInterval + device->timeouts.readTotalMultiplier +
                device->timeouts.writeTotalMultiplier + device->timeouts.writeTotalConstant,
            0u);
  EXPECT_EQ(device->inputQueue, 1200u);
  EXPECT_EQ(device->outputQueue, 1200u);
  EXPECT_TRUE(device->rts) << "RTS is asserted from the open on";
  // Time-outs are set before the line settings.
  EXPECT_EQ(line().CallSequence(),
            (std::vector<Service>{Service::Open, Service::ReadLineState, Service::WriteTimeouts,
                                  Service::WriteLineState, Service::SetQueueSizes}));
  EXPECT_EQ(CommClose(port), CommStatus::Ok);
  EXPECT_FALSE(device->isOpen);
}

TEST_F(SerialPortTest, EveryFailedOpenLeavesNoPortOpen) {
  PortHandle port = kNoPort;
  EXPECT_EQ(CommOpen("COM7", kLine, COMM_RTS_ON, &port), CommStatus::CannotOpen);
  EXPECT_EQ(port, kInvalidPort);

  sim::SimDevice& notSerial = line().AddDevice("nul");
  notSerial.isSerial = false;
  EXPECT_EQ(CommOpen("nul", kLine, COMM_RTS_ON, &port), CommStatus::NotSerial);
  EXPECT_FALSE(notSerial.isOpen);

  // A device that accepts neither time-outs nor settings reports the
  // time-outs, which come first.
  device->failing = {Service::WriteTimeouts, Service::WriteLineState};
  EXPECT_EQ(CommOpen("COM1", kLine, COMM_RTS_ON, &port), CommStatus::CannotOpen);
  EXPECT_FALSE(device->isOpen);

  device->failing.clear();
  const PortSettings nineBits = {9600, 9, 0, 0};
  EXPECT_EQ(CommOpen("COM1", nineBits, COMM_RTS_ON, &port), CommStatus::SettingsRefused);
  EXPECT_FALSE(device->isOpen);
  const PortHandle again = OpenCom1();  // closed again, so it opens now

  // Held by another opener.
  EXPECT_EQ(CommOpen("COM1", kLine, COMM_RTS_ON, &port), CommStatus::CannotOpen);
  CommClose(again);
}

TEST_F(SerialPortTest, NullDeviceIsOpenedButNeverConfigured) {
  sim::SimDevice& null = line().AddDevice("NUL");
  PortHandle port = kNoPort;
  ASSERT_EQ(CommOpen("NUL", kLine, COMM_RTS_ON, &port), CommStatus::Ok);
  EXPECT_TRUE(null.isOpen);
  EXPECT_FALSE(null.configured);
  EXPECT_EQ(line().CallSequence(), std::vector<Service>{Service::Open});
}

TEST_F(SerialPortTest, ReadTimeoutIsSetInTenMillisecondUnits) {
  const PortHandle port = OpenCom1();
  line().ClearCalls();
  // The time-out replaced, in units of 10 ms.
  auto replaced = [port](uint32_t units) {
    uint32_t previous = 12345;
    EXPECT_EQ(CommSetReadTimeout(port, units, &previous), CommStatus::Ok);
    return previous;
  };
  EXPECT_EQ(replaced(100), 100u);
  EXPECT_EQ(line().CountCalls(Service::WriteTimeouts), 0u) << "already 1000 ms: nothing written";
  EXPECT_EQ(replaced(50), 100u);
  EXPECT_EQ(replaced(50), 50u);
  EXPECT_EQ(device->timeouts.readTotalConstant, 500u);

  // A time-out too long for 32 bits of milliseconds becomes the longest
  // one, not the short one that wrapping around would give.
  EXPECT_EQ(replaced(0x20000000u), 50u);
  EXPECT_EQ(device->timeouts.readTotalConstant, 0xFFFFFFFFu);

  device->timeouts.readTotalConstant = 5;
  EXPECT_EQ(replaced(1), 0u) << "5 ms rounds down to 0 units";
  device->failing = {Service::ReadTimeouts};
  EXPECT_EQ(CommSetReadTimeout(port, 7), CommStatus::IoFailed);
  EXPECT_EQ(device->timeouts.readTotalConstant, 10u);
}

TEST_F(SerialPortTest, FlushOfAFloodStopsAfterSixteenFullReads) {
  const PortHandle port = OpenCom1();
  device->Deliver(std::string(20000, 'f'));  // more than any drain should take
  line().ClearCalls();
  EXPECT_EQ(CommFlushInput(port), CommStatus::Ok);
  EXPECT_EQ(line().CountCalls(Service::Read), 16u);
  EXPECT_EQ(device->input.size(), 20000u - 16 * 512) << "the rest is left as noise ahead of the reply";
  EXPECT_EQ(device->timeouts.readTotalConstant, 1000u) << "the read time-out is restored";
}

TEST_F(SerialPortTest, FlushWithNothingWaitingTouchesNoTimeout) {
  const PortHandle port = OpenCom1();
  line().ClearCalls();
  EXPECT_EQ(CommFlushInput(port), CommStatus::Ok);
  EXPECT_EQ(line().CallSequence(), std::vector<Service>{Service::CountWaitingInput});
  EXPECT_EQ(line().NowMicroseconds(), 0u);
}

TEST_F(SerialPortTest, FlushDrainsInChunksWithAShortTimeoutThenRestoresIt) {
  const PortHandle port = OpenCom1();
  device->Deliver(std::string(700, 'x'));
  line().ClearCalls();
  EXPECT_EQ(CommFlushInput(port), CommStatus::Ok);
  EXPECT_TRUE(device->input.empty());
  std::vector<std::pair<uint32_t, uint64_t>> reads;  // bytes, when the read ended
  const auto& calls = line().Calls();
  for (size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].service == Service::Read) reads.push_back({calls[i].result, calls[i].atMicroseconds});
  }
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(reads[0].first, 512u);
  EXPECT_EQ(reads[0].second, 0u) << "512 bytes are there at once";
  EXPECT_EQ(reads[1].first, 188u);
  EXPECT_EQ(line().NowMilliseconds(), 50u) << "the short read waits out 50 ms";
  EXPECT_EQ(device->timeouts.readTotalConstant, 1000u);

  device->Deliver(std::string(512, 'x'));
  const uint64_t before = line().NowMilliseconds();
  EXPECT_EQ(CommFlushInput(port), CommStatus::Ok);
  EXPECT_EQ(line().NowMilliseconds() - before, 50u) << "a second request finds none after 50 ms";
}

TEST_F(SerialPortTest, FlushOnAPortWithoutTimeoutLeavesFiftyMilliseconds) {
  const PortHandle port = OpenCom1();
  CommSetReadTimeout(port, 0);
  device->Deliver("stray");
  EXPECT_EQ(CommFlushInput(port), CommStatus::Ok);
  EXPECT_EQ(device->timeouts.readTotalConstant, 50u);
}

TEST_F(SerialPortTest, FlushReportsAFailedReadAndDrainsWhenTheCountIsUnknown) {
  const PortHandle port = OpenCom1();
  device->failing = {Service::CountWaitingInput};
  EXPECT_EQ(CommFlushInput(port), CommStatus::Ok) << "an unknown count drains anyway";
  EXPECT_EQ(line().CountCalls(Service::Read), 1u);
  device->failing = {Service::CountWaitingInput, Service::Read};
  EXPECT_EQ(CommFlushInput(port), CommStatus::IoFailed);
}

TEST_F(SerialPortTest, ReadWaitsAtMostOneTimeoutPerRequest) {
  const PortHandle port = OpenCom1();
  char buffer[32];
  uint32_t count = 99;

  device->Deliver("0123456789ABCDE", 30000);
  EXPECT_EQ(CommRead(port, buffer, 15, &count), CommStatus::Ok);
  EXPECT_EQ(count, 15u);
  EXPECT_EQ(line().NowMilliseconds(), 30u) << "complete as soon as the last byte arrives";

  uint64_t start = line().NowMilliseconds();
  EXPECT_EQ(CommRead(port, buffer, 15, &count), CommStatus::IoFailed);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(line().NowMilliseconds() - start, 1000u);

  start = line().NowMilliseconds();
  device->Deliver("0123456789");
  device->Deliver("ABCDE", 1500000);  // late for the first request, in time for the second
  EXPECT_EQ(CommRead(port, buffer, 15, &count), CommStatus::Ok);
  EXPECT_EQ(count, 15u);
  EXPECT_EQ(std::string(buffer, 15), "0123456789ABCDE");
  EXPECT_EQ(line().NowMilliseconds() - start, 1500u);

  start = line().NowMilliseconds();
  device->Deliver("0123456789");
  EXPECT_EQ(CommRead(port, buffer, 15, &count), CommStatus::IoFailed);
  EXPECT_EQ(count, 10u);
  EXPECT_EQ(line().NowMilliseconds() - start, 2000u) << "two time-outs";

  EXPECT_EQ(CommRead(port, buffer, 0, &count), CommStatus::IoFailed) << "a request that brings nothing";
  device->failing = {Service::Read};
  EXPECT_EQ(CommRead(port, buffer, 4, nullptr), CommStatus::IoFailed);
}

TEST_F(SerialPortTest, WriteReportsWhatTheSystemMoved) {
  const PortHandle port = OpenCom1();
  uint32_t written = 1234;
  EXPECT_EQ(CommWrite(port, "abcdef", 6, &written), CommStatus::Ok);
  EXPECT_EQ(written, 6u);
  device->writeLimit = 4;
  EXPECT_EQ(CommWrite(port, "abcdef", 6, &written), CommStatus::ShortWrite);
  EXPECT_EQ(written, 4u);
  device->failing = {Service::Write};
  written = 1234;
  EXPECT_EQ(CommWrite(port, "abcdef", 6, &written), CommStatus::IoFailed);
  EXPECT_EQ(written, 1234u);
  EXPECT_EQ(device->written, "abcdefabcd");
}

TEST_F(SerialPortTest, CloseOfAClosedHandleFails) {
  const PortHandle port = OpenCom1();
  EXPECT_EQ(CommClose(port), CommStatus::Ok);
  EXPECT_EQ(CommClose(port), CommStatus::IoFailed);
}

}  // namespace
