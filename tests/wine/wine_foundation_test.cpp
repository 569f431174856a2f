// The Windows foundation, the very sources of qvotk.dll, on Wine's own
// implementation of the serial API. The driver's port (QVO_WINE_PORT) is one
// end of a pseudo-terminal pair; the test drives the other end itself as a
// second COM port (QVO_WINE_PEER). Modem lines come from the lane's
// null-modem loopback: CTS follows RTS.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstring>
#include <string>

#include "platform/serial/serial_win32.h"
#include "qvotk/qvotk.h"
#include "serial/exchange.h"
#include "serial/serial_port.h"
#include "support/null_device.h"
#include "support/test_port.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kPort = QVO_WINE_PORT;
const std::string kPeer = QVO_WINE_PEER;

HANDLE HandleOf(PortHandle port) { return Win32HandleOf(port); }

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Runs `body` on a thread of its own; a body still running after `limit`
// ends the process at once, since a read that never returns can be neither
// abandoned nor waited for on the way out.
template <typename Body>
void EndsWithin(DWORD limitMs, Body body) {
  struct Call {
    static DWORD WINAPI Run(void* context) {
      (*static_cast<Body*>(context))();
      return 0;
    }
  };
  HANDLE thread = CreateThread(nullptr, 0, &Call::Run, &body, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  if (WaitForSingleObject(thread, limitMs) != WAIT_OBJECT_0) {
    std::fprintf(stderr, "still blocked after %lu ms: a read that waits for ever\n",
                 static_cast<unsigned long>(limitMs));
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
  }
  CloseHandle(thread);
}

class WineFoundation : public ::testing::Test {
 protected:
  void SetUp() override {
    peer = CreateFileA(kPeer.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(peer, INVALID_HANDLE_VALUE) << kPeer;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(peer, &dcb));
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = 1;
    dcb.fOutX = dcb.fInX = 0;
    ASSERT_TRUE(SetCommState(peer, &dcb));
    COMMTIMEOUTS timeouts{0, 0, 100, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(peer, &timeouts));
    PurgeComm(peer, PURGE_RXCLEAR | PURGE_TXCLEAR);
  }

  void TearDown() override {
    if (port != kNoPort) CommClose(port);
    if (peer != INVALID_HANDLE_VALUE) CloseHandle(peer);
  }

  void OpenPort(PortSettings line = {9600, 8, 0, 0}) {
    ASSERT_EQ(CommOpen(kPort.c_str(), line, COMM_RTS_ON, &port), CommStatus::Ok) << kPort;
  }

  void PeerWrites(const std::string& bytes) {
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(peer, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    ASSERT_EQ(written, bytes.size());
  }

  // What reaches the peer within about a second, up to `count` bytes.
  std::string PeerReads(size_t count) {
    std::string received;
    for (int round = 0; round < 10 && received.size() < count; ++round) {
      char buffer[256];
      DWORD moved = 0;
      const DWORD wanted = static_cast<DWORD>(std::min(count - received.size(), sizeof buffer));
      if (!ReadFile(peer, buffer, wanted, &moved, nullptr)) break;
      received.append(buffer, moved);
    }
    return received;
  }

  // Waits until the driver's port has `count` bytes waiting.
  bool WaitingInputReaches(uint32_t count) {
    uint32_t waiting = 0;
    for (int round = 0; round < 200; ++round) {
      if (SysCountWaitingInput(port, &waiting) && waiting >= count) return true;
      Sleep(10);
    }
    return false;
  }

  HANDLE peer = INVALID_HANDLE_VALUE;
  PortHandle port = kNoPort;
};

// A pseudo-terminal keeps neither parity nor fewer than 8 data bits: the
// kernel forces CS8 and clears PARENB on it. The rate, the stop bits and the
// flow control read back as opened; data bits and parity were proved
// against the stand-in.
TEST_F(WineFoundation, TheLineSettingsReadBackAsOpened) {
  struct LineCase {
    PortSettings line;
    BYTE stopBits;
  };
  const LineCase cases[] = {
      {{9600, 8, 0, 0}, ONESTOPBIT},
      {{19200, 8, 2, 0}, TWOSTOPBITS},
      {{2400, 8, 0, 0}, ONESTOPBIT},
  };
  for (const auto& c : cases) {
    const std::string label = std::to_string(c.line.baudRate) + " baud";
    ASSERT_EQ(CommOpen(kPort.c_str(), c.line, COMM_RTS_ON, &port), CommStatus::Ok) << label;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(HandleOf(port), &dcb)) << label;
    EXPECT_EQ(dcb.BaudRate, c.line.baudRate) << label;
    EXPECT_EQ(dcb.ByteSize, 8u) << label;
    EXPECT_EQ(dcb.StopBits, c.stopBits) << label;
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u) << label << ": the driver keys the line itself";
    EXPECT_EQ(dcb.fOutX, 0u) << label;
    EXPECT_EQ(dcb.fInX, 0u) << label;
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE)) << label << ": RTS on from the open";
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE)) << label;
    ASSERT_EQ(CommClose(port), CommStatus::Ok);
    port = kNoPort;
  }
}

TEST_F(WineFoundation, TheReadTimeOutIsATotalTimeOut) {
  OpenPort();
  COMMTIMEOUTS timeouts{};
  ASSERT_TRUE(GetCommTimeouts(HandleOf(port), &timeouts));
  EXPECT_EQ(timeouts.ReadIntervalTimeout, 0u);
  EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 1000u);
  uint32_t previous = 0;
  EXPECT_EQ(CommSetReadTimeout(port, 20, &previous), CommStatus::Ok);
  EXPECT_EQ(previous, 100u) << "the previous time-out, in 10 ms units";
  ASSERT_TRUE(GetCommTimeouts(HandleOf(port), &timeouts));
  EXPECT_EQ(timeouts.ReadIntervalTimeout, 0u);
  EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 200u);
  uint32_t milliseconds = 0;
  ASSERT_EQ(CommGetReadTimeout(port, &milliseconds), CommStatus::Ok);
  EXPECT_EQ(milliseconds, 200u);
}

TEST_F(WineFoundation, AReadEndsAtItsTotalTimeOutWithWhatArrived) {
  OpenPort();
  CommSetReadTimeout(port, 20);  // 200 ms
  // Nothing at all: the read gives up after the time-out, not later, and
  // not never.
  EndsWithin(10000, [&] {
    char buffer[8];
    uint32_t received = 99;
    const auto start = Clock::now();
    EXPECT_EQ(CommRead(port, buffer, 5, &received), CommStatus::IoFailed);
    const long long elapsed = MillisecondsSince(start);
    EXPECT_EQ(received, 0u);
    EXPECT_GE(elapsed, 150);
    EXPECT_LT(elapsed, 2000);
  });
  // Three of five bytes: the three are handed over at the time-out.
  PeerWrites("abc");
  EndsWithin(10000, [&] {
    char buffer[8] = {};
    uint32_t received = 0;
    const auto start = Clock::now();
    EXPECT_EQ(CommRead(port, buffer, 5, &received), CommStatus::IoFailed);
    const long long elapsed = MillisecondsSince(start);
    EXPECT_EQ(std::string(buffer, received), "abc");
    EXPECT_GE(elapsed, 150);
    EXPECT_LT(elapsed, 2000);
  });
  // All five: at once.
  PeerWrites("hello");
  EndsWithin(10000, [&] {
    char buffer[8] = {};
    uint32_t received = 0;
    EXPECT_EQ(CommRead(port, buffer, 5, &received), CommStatus::Ok);
    EXPECT_EQ(std::string(buffer, received), "hello");
  });
}

TEST_F(WineFoundation, AFlushDiscardsTheWaitingInputAndKeepsTheTimeOut) {
  OpenPort();
  CommSetReadTimeout(port, 30);
  PeerWrites(std::string(600, 'x'));
  ASSERT_TRUE(WaitingInputReaches(600));
  EXPECT_EQ(CommFlushInput(port), CommStatus::Ok);
  uint32_t waiting = 99;
  ASSERT_TRUE(SysCountWaitingInput(port, &waiting));
  EXPECT_EQ(waiting, 0u);
  uint32_t milliseconds = 0;
  ASSERT_EQ(CommGetReadTimeout(port, &milliseconds), CommStatus::Ok);
  EXPECT_EQ(milliseconds, 300u);
  PeerWrites("ok");
  char buffer[2];
  uint32_t received = 0;
  EXPECT_EQ(CommRead(port, buffer, 2, &received), CommStatus::Ok);
  EXPECT_EQ(std::string(buffer, received), "ok");
}

TEST_F(WineFoundation, RtsKeysTheLineAndAFrameReachesThePeer) {
  OpenPort();
  bool cts = false;
  ASSERT_TRUE(SysSetRts(port, true));
  ASSERT_TRUE(SysReadCts(port, &cts));
  EXPECT_TRUE(cts);
  ASSERT_TRUE(SysSetRts(port, false));
  ASSERT_TRUE(SysReadCts(port, &cts));
  EXPECT_FALSE(cts);

  const std::string frame = ":0405000110EA\r\n";
  LineTurn turn;
  StartTurns(&turn, port, ':');
  ASSERT_TRUE(SendFrame(&turn, frame.data(), static_cast<uint32_t>(frame.size())));
  EXPECT_EQ(PeerReads(frame.size()), frame);
  ASSERT_TRUE(SysReadCts(port, &cts));
  EXPECT_FALSE(cts) << "RTS is dropped once the frame is out";
}

TEST_F(WineFoundation, TheNullDeviceOpensAndEachRequestReportsItsModemLines) {
  ExpectTheNullDeviceToReportEachRtsSwitch();
}

}  // namespace
