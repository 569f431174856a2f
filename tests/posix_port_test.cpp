// The Linux serial services against real pseudo-terminals: the proof that
// the Linux library drives a real device. Time-outs are short and the
// tolerances generous.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <chrono>
#include <string>

#include "platform/serial/serial_services.h"
#include "serial/serial_port.h"
#include "support/pty.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr LineParams kLine = {9600, 8, 0, 0};

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// The POSIX foundation's handles are descriptor + 1.
int DescriptorOf(PortHandle port) { return static_cast<int>(port) - 1; }

class PosixPortTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(pty.ok()); }
  void TearDown() override {
    if (port != kNoPort && port != kInvalidPort) CommClose(port);
  }
  CommStatus Open(const LineParams& line = kLine) {
    return CommOpen(pty.portName().c_str(), &line, COMM_RTS_ON, &port);
  }

  PseudoTerminal pty;
  PortHandle port = kNoPort;
};

TEST_F(PosixPortTest, OpensByNameExclusivelyInRawMode) {
  ASSERT_EQ(Open(), CommStatus::Ok);
  termios tio;
  ASSERT_EQ(tcgetattr(DescriptorOf(port), &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), B9600);
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB), 0u);
  EXPECT_NE(tio.c_cflag & CLOCAL, 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);
  EXPECT_EQ(tio.c_iflag & (ICRNL | IXON), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);

  PortHandle second = kNoPort;
  EXPECT_EQ(CommOpen(pty.portName().c_str(), &kLine, COMM_RTS_ON, &second), CommStatus::CannotOpen);
  EXPECT_EQ(CommOpen(pty.path().c_str(), &kLine, COMM_RTS_ON, &second), CommStatus::CannotOpen);
  ASSERT_EQ(CommClose(port), CommStatus::Ok);
  EXPECT_EQ(CommClose(port), CommStatus::IoFailed);
  port = kNoPort;
  EXPECT_EQ(Open(), CommStatus::Ok) << "free again after the close";
}

TEST_F(PosixPortTest, LineSettingsTermiosCannotExpressAreRefused) {
  const LineParams odd7 = {2400, 7, 2, 1};
  ASSERT_EQ(Open(odd7), CommStatus::Ok);
  termios tio;
  ASSERT_EQ(tcgetattr(DescriptorOf(port), &tio), 0);
  // A pseudo-terminal keeps 8 data bits without parity whatever it is
  // asked; the speed and stop bits show the settings went through.
  EXPECT_EQ(cfgetospeed(&tio), B2400);
  EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
  CommClose(port);
  port = kNoPort;

  for (const LineParams bad : {LineParams{12345, 8, 0, 0}, LineParams{9600, 9, 0, 0},
                               LineParams{9600, 8, 1, 0}, LineParams{9600, 8, 0, 5}}) {
    EXPECT_EQ(Open(bad), CommStatus::SettingsRefused) << bad.baudRate << " " << bad.dataBits;
    PortHandle probe = kNoPort;
    ASSERT_EQ(CommOpen(pty.portName().c_str(), &kLine, COMM_RTS_ON, &probe), CommStatus::Ok)
        << "closed again";
    CommClose(probe);
  }
  port = kNoPort;
}

TEST_F(PosixPortTest, NullDeviceAndOtherNames) {
  PortHandle null = kNoPort;
  ASSERT_EQ(CommOpen("NUL", &kLine, COMM_RTS_ON, &null), CommStatus::Ok);
  PortHandle lower = kNoPort;
  EXPECT_EQ(CommOpen("nul", &kLine, COMM_RTS_ON, &lower), CommStatus::NotSerial)
      << "names /dev/null, not special";
  EXPECT_EQ(CommOpen("Nul", &kLine, COMM_RTS_ON, &lower), CommStatus::NotSerial);
  EXPECT_FALSE(SysSetRts(null, true)) << "the null device has no modem lines";
  EXPECT_EQ(CommClose(null), CommStatus::Ok);

  PortHandle missing = kNoPort;
  EXPECT_EQ(CommOpen("ttyNOSUCH0", &kLine, COMM_RTS_ON, &missing), CommStatus::CannotOpen);
  EXPECT_EQ(missing, kInvalidPort);
  EXPECT_EQ(CommClose(kNoPort), CommStatus::IoFailed) << "the null handle never reaches descriptor 0";
  uint32_t n = 0;
  EXPECT_FALSE(SysRead(kNoPort, &n, 1, &n));
}

TEST_F(PosixPortTest, ReadCompletesAtOnceOrAfterItsTimeout) {
  ASSERT_EQ(Open(), CommStatus::Ok);
  CommSetReadTimeout(port, 20);  // 200 ms
  char buffer[64];
  uint32_t count = 0;

  pty.Write("0123456789ABCDE");
  auto start = Clock::now();
  EXPECT_EQ(CommRead(port, buffer, 15, &count), CommStatus::Ok);
  EXPECT_EQ(std::string(buffer, count), "0123456789ABCDE");
  EXPECT_LT(ElapsedMs(start), 150);

  pty.Write("0123456789");
  start = Clock::now();
  EXPECT_EQ(CommRead(port, buffer, 15, &count), CommStatus::IoFailed);
  EXPECT_EQ(count, 10u);
  const long waited = ElapsedMs(start);
  EXPECT_GE(waited, 380) << "two time-outs of 200 ms";
  EXPECT_LT(waited, 1500);
}

TEST_F(PosixPortTest, FlushDrainsWaitingInput) {
  ASSERT_EQ(Open(), CommStatus::Ok);
  CommSetReadTimeout(port, 20);
  pty.Write(std::string(700, 'x'));
  uint32_t waiting = 0;
  for (int i = 0; i < 100 && waiting < 700; ++i) {
    ASSERT_TRUE(SysCountWaitingInput(port, &waiting));
    if (waiting < 700) SysSleepMilliseconds(1);
  }
  ASSERT_EQ(waiting, 700u);
  EXPECT_EQ(CommFlushInput(port), 0);
  ASSERT_TRUE(SysCountWaitingInput(port, &waiting));
  EXPECT_EQ(waiting, 0u);
  EXPECT_EQ(CommSetReadTimeout(port, 20), 20) << "the read time-out is restored";
}

TEST_F(PosixPortTest, WritesReachTheOtherSideUnchanged) {
  ASSERT_EQ(Open(), CommStatus::Ok);
  const std::string frame = ":0508001268007E\r\n";
  uint32_t written = 0;
  EXPECT_EQ(CommWrite(port, frame.data(), static_cast<uint32_t>(frame.size()), &written), CommStatus::Ok);
  EXPECT_EQ(written, frame.size());
  EXPECT_EQ(pty.Read(frame.size(), 1000), frame);
}

TEST_F(PosixPortTest, PseudoTerminalRtsLoopsBackToCts) {
  ASSERT_EQ(Open(), CommStatus::Ok);
  bool cts = false;
  ASSERT_TRUE(SysReadCts(port, &cts));
  EXPECT_TRUE(cts) << "RTS is asserted by the open";
  ASSERT_TRUE(SysSetRts(port, false));
  ASSERT_TRUE(SysReadCts(port, &cts));
  EXPECT_FALSE(cts);
  ASSERT_TRUE(SysSetRts(port, true));
  ASSERT_TRUE(SysReadCts(port, &cts));
  EXPECT_TRUE(cts);
}

TEST_F(PosixPortTest, HangUpFailsTheReadAtOnce) {
  ASSERT_EQ(Open(), CommStatus::Ok);
  CommSetReadTimeout(port, 100);  // 1 s
  pty.CloseMaster();
  char buffer[8];
  const auto start = Clock::now();
  EXPECT_EQ(CommRead(port, buffer, 8, nullptr), CommStatus::IoFailed);
  EXPECT_LT(ElapsedMs(start), 500);
}

}  // namespace
