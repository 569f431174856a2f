// Channels through QvoMain on real pseudo-terminals and the null device,
// with the test playing the controller on the other side: what a channel
// holds, what a request costs in system calls, and that a request ends
// whatever the other side does.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <thread>

#include "line_watch/capture_file.h"
#include "qvotk/qvotk.h"
#include "serial/exchange.h"
#include "serial/serial_port.h"
#include "support/null_device.h"
#include "support/posix_calls_seen.h"
#include "support/pty.h"
#include "support/recorded_reports.h"
#include "support/requests.h"
#include "support/temp_dir.h"
#include "support/test_port.h"

namespace {

using Clock = std::chrono::steady_clock;

// Runs `work`; a request that has not ended in `limit` is a request that
// never ends, and the test binary stops rather than hang.
template <typename Work>
auto EndsWithin(std::chrono::seconds limit, Work work) {
  auto result = std::async(std::launch::async, work);
  if (result.wait_for(limit) != std::future_status::ready) {
    std::fprintf(stderr, "a request did not end within %lld s\n", static_cast<long long>(limit.count()));
    std::_Exit(1);
  }
  return result.get();
}

TEST(ChannelOnPseudoTerminal, OpensSendsAndReceives) {
  PseudoTerminal pty;
  ASSERT_TRUE(pty.ok());
  TemporaryWorkingDirectory workingDirectory;
  workingDirectory.WriteFile("QVOTK04.int", "STATION=0012\r\n");

  QvoChannel channel{};
  ASSERT_EQ(OpenChannelOn(&channel, pty.portName(), 4, 20), QVO_STATUS_OK);
  EXPECT_EQ(channel.stationAddress, 12);

  const std::string frame = ":0508001268007E\r\n";
  LineTurn turn;
  StartTurns(&turn, channel.port, ':');
  ASSERT_TRUE(SendFrame(&turn, frame.data(), static_cast<uint32_t>(frame.size())));
  EXPECT_EQ(pty.Read(frame.size(), 1000), frame);
  // The line's echo of the frame, a byte the terminal marks as \377 \377,
  // then the reply.
  const std::string reply = ":0708000000003F00C1\r\n";
  pty.Write(frame + "\377" + reply);
  char buffer[64];
  ASSERT_TRUE(ReceiveWindow(&turn, buffer, static_cast<uint32_t>(reply.size())));
  EXPECT_EQ(std::string(buffer, reply.size()), reply);

  EXPECT_EQ(CallDriver(&channel, QVO_OP_CLOSE_CHANNEL), QVO_STATUS_OK);
  EXPECT_EQ(channel.port, 0u);
}

// A port that does not open is reported as it always was, then why, once,
// with the system's own code: each reason as the system gives it, where a
// pseudo-terminal cannot, from an answered open.
TEST(ChannelOnPseudoTerminal, AFailedOpenIsReportedWithItsReason) {
  PseudoTerminal pty;
  TemporaryWorkingDirectory workingDirectory;
  QvoChannel holder{};
  ASSERT_EQ(OpenChannelOn(&holder, pty.portName(), 1, 10), QVO_STATUS_OK);
  PseudoTerminal other;
  int refusal = 0;
  posix_calls_seen::AnswerOpen([&](const char* path, int, int* result) {
    if (refusal == 0 || other.path() != path) return false;
    errno = refusal;
    *result = -1;
    return true;
  });
  struct Case {
    std::string port;
    int refusal;
    LineParams line;
    std::string reason;
  };
  const Case cases[] = {
      {"ttyNOPE9", 0, kTestLine, "not found (errno 2)"},
      {other.portName(), EACCES, kTestLine, "permission denied: add the user to group dialout (errno 13)"},
      {other.portName(), EBUSY, kTestLine, "held by another program (errno 16)"},
      {pty.portName(), 0, kTestLine, "held by another program (errno 11)"},
      {"/dev/null", 0, kTestLine, "not a serial device (errno 25)"},
      {other.portName(), 0, LineParams{9600, 9, 0, 0}, "line settings refused"},
  };
  for (const Case& c : cases) {
    RecordedReports().clear();
    refusal = c.refusal;
    QvoChannel channel{};
    EXPECT_EQ(OpenChannelOn(&channel, c.port, 1, 10, c.line), QVO_STATUS_NO_ANSWER) << c.port;
    ASSERT_EQ(RecordedReports().size(), 2u) << c.port;
    EXPECT_EQ(RecordedReports()[0].text, "QVOTOVEK  : Fail to open " + c.port);
    EXPECT_EQ(RecordedReports()[1].text, "QVOTOVEK  : " + c.port + ": " + c.reason);
    EXPECT_EQ(RecordedReports()[1].format, "QVO%s : %s: %s");
  }
  posix_calls_seen::Reset();
  CallDriver(&holder, QVO_OP_CLOSE_CHANNEL);
}

TEST(ChannelOnPseudoTerminal, AChannelHoldsOneDescriptorHoweverOftenItOpens) {
  TemporaryWorkingDirectory workingDirectory;
  QvoChannel channel{};
  const size_t before = OpenDescriptors();
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(OpenChannelOn(&channel, "NUL", 1, 10), QVO_STATUS_OK);
    ASSERT_EQ(CallDriver(&channel, QVO_OP_REOPEN_CHANNEL), QVO_STATUS_OK);
    ASSERT_EQ(ReconfigureChannelTo(&channel, "NUL"), QVO_STATUS_OK);
  }
  EXPECT_EQ(OpenDescriptors(), before + 1);
  ASSERT_EQ(CallDriver(&channel, QVO_OP_CLOSE_CHANNEL), QVO_STATUS_OK);
  EXPECT_EQ(OpenDescriptors(), before);

  // From one terminal to another: the first is free for any channel again.
  PseudoTerminal a, b;
  ASSERT_EQ(OpenChannelOn(&channel, a.portName(), 1, 10), QVO_STATUS_OK);
  ASSERT_EQ(OpenChannelOn(&channel, b.portName(), 1, 10), QVO_STATUS_OK);
  QvoChannel other{};
  EXPECT_EQ(OpenChannelOn(&other, a.portName(), 1, 10), QVO_STATUS_OK);
  EXPECT_EQ(ReconfigureChannelTo(&channel, b.portName()), QVO_STATUS_NO_ANSWER)
      << "the held port admits one opener";
  EXPECT_NE(channel.port, 0u) << "and the channel keeps it";
  CallDriver(&channel, QVO_OP_CLOSE_CHANNEL);
  CallDriver(&other, QVO_OP_CLOSE_CHANNEL);
  EXPECT_EQ(OpenDescriptors(), before + 2) << "only the test's own terminal masters";
}

TEST(ChannelOnPseudoTerminal, TheNullDeviceHasNoModemLinesAndSaysSoEachTime) {
  ExpectTheNullDeviceToReportEachRtsSwitch();
}

TEST(ChannelOnPseudoTerminal, AStationFileThatIsNoFileGivesStationOne) {
  TemporaryWorkingDirectory workingDirectory;
  QvoChannel channel{};
  // A FIFO: an open that waited for a writer would wait for ever.
  ASSERT_EQ(mkfifo("QVOTK01.int", 0600), 0);
  EXPECT_EQ(EndsWithin(std::chrono::seconds(20), [&] { return OpenChannelOn(&channel, "NUL", 1, 10); }),
            QVO_STATUS_OK);
  EXPECT_EQ(channel.stationAddress, 1);
  ASSERT_EQ(unlink("QVOTK01.int"), 0);
  ASSERT_EQ(mkdir("QVOTK01.int", 0700), 0);
  EXPECT_EQ(OpenChannelOn(&channel, "NUL", 1, 10), QVO_STATUS_OK);
  EXPECT_EQ(channel.stationAddress, 1);
  CallDriver(&channel, QVO_OP_CLOSE_CHANNEL);
  rmdir("QVOTK01.int");
}

// Answers each request frame on the terminal's other side, as a controller.
class Answerer {
 public:
  Answerer(PseudoTerminal& pty, std::string reply) : pty_(pty), reply_(std::move(reply)) {
    thread_ = std::thread([this] {
      while (!stop_) {
        if (pty_.Read(17, 20).size() == 17) pty_.Write(reply_);
      }
    });
  }
  ~Answerer() {
    stop_ = true;
    thread_.join();
  }

 private:
  PseudoTerminal& pty_;
  std::string reply_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(ChannelOnPseudoTerminal, AnSReadCostsFiveSystemCalls) {
  PseudoTerminal pty;
  TemporaryWorkingDirectory workingDirectory;
  workingDirectory.WriteFile("QVOTK01.int", "STATION=12");
  QvoChannel channel{};
  ASSERT_EQ(OpenChannelOn(&channel, pty.portName(), 1, 100), QVO_STATUS_OK);
  Answerer controller(pty, ":070000126800040000\r\n");
  uint16_t values[2] = {};
  ASSERT_EQ(SendTransfer(&channel, QVO_OP_READ_VALUE, QVO_POINT_S, 0, 0, values), QVO_STATUS_OK);  // warm up
  uint64_t fewest = UINT64_MAX;
  for (int i = 0; i < 20; ++i) {
    const uint64_t before = posix_calls_seen::AllCalls();
    ASSERT_EQ(SendTransfer(&channel, QVO_OP_READ_VALUE, QVO_POINT_S, 0, 0, values), QVO_STATUS_OK);
    fewest = std::min(fewest, posix_calls_seen::AllCalls() - before);
  }
  EXPECT_EQ(values[1], 4);
  // The count of waiting input, the write, the drain, the poll and the read;
  // a reply in two pieces costs another poll and read.
  EXPECT_EQ(fewest, 5u);
  CallDriver(&channel, QVO_OP_CLOSE_CHANNEL);
}

// A port in the kernel's RS-485 mode, as TIOCGRS485 reports it: the
// kernel keys RTS around each send, so the driver switches no RTS, reads
// CTS as present though the line's CTS (following RTS) stays low, still
// drains, reports nothing, and the capture shows RTS as the kernel keys it.
TEST(ChannelOnPseudoTerminal, InTheKernelsRs485ModeRtsIsLeftToTheKernel) {
  PseudoTerminal pty;
  TemporaryWorkingDirectory workingDirectory;
  workingDirectory.WriteFile("QVOTK01.int", "STATION=12");
  setenv("QVOTK_CAPTURE", (workingDirectory.path() + "/line.pcap").c_str(), 1);
  bool kernelMode = true;
  int rtsSwitches = 0, drains = 0;
  posix_calls_seen::AnswerControl([&](int, unsigned long request, void* argument, int* result) {
    *result = 0;
    if (request == TIOCGRS485 && kernelMode) {
      *static_cast<serial_rs485*>(argument) = serial_rs485{};
      static_cast<serial_rs485*>(argument)->flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    } else if (request == TIOCMGET) {
      *static_cast<int*>(argument) = 0;  // modem lines there, CTS low
    } else if (request == TIOCMBIS || request == TIOCMBIC) {
      rtsSwitches += (*static_cast<int*>(argument) & TIOCM_RTS) != 0;
    } else {
      drains += request == TCSBRK;
      return false;
    }
    return true;
  });
  QvoChannel channel{};
  RecordedReports().clear();
  ASSERT_EQ(OpenChannelOn(&channel, pty.portName(), 1, 100), QVO_STATUS_OK);
  {
    Answerer controller(pty, ":070000126800040000\r\n");
    uint16_t values[2] = {};
    ASSERT_EQ(SendTransfer(&channel, QVO_OP_READ_VALUE, QVO_POINT_S, 0, 0, values), QVO_STATUS_OK);
    EXPECT_EQ(values[1], 4);
  }
  CallDriver(&channel, QVO_OP_CLOSE_CHANNEL);
  unsetenv("QVOTK_CAPTURE");
  EXPECT_EQ(rtsSwitches, 0) << "neither at open nor around the exchange";
  EXPECT_EQ(drains, 1) << "the transmitter still drained before the reply";
  EXPECT_TRUE(RecordedReports().empty());
  std::vector<line_watch::LineRecord> records;
  std::string error;
  ASSERT_TRUE(line_watch::ReadCapture(workingDirectory.path() + "/line.pcap", &records, &error)) << error;
  size_t sent = 0;
  for (const auto& record : records) {
    if (record.event == line_watch::LineEvent::Sent) {
      ++sent;
      EXPECT_EQ(record.lines, line_watch::kRtsOn | line_watch::kCtsOn) << "RTS up while the frame left";
    } else if (record.event == line_watch::LineEvent::Received) {
      EXPECT_EQ(record.lines & line_watch::kRtsOn, 0) << "and down while the reply came";
    }
  }
  EXPECT_EQ(sent, 1u);

  // Where the kernel keys nothing, the driver does, as ever.
  kernelMode = false;
  PortHandle port = kNoPort;
  ASSERT_EQ(CommOpen(pty.portName().c_str(), kTestPort, COMM_RTS_ON, &port), CommStatus::Ok);
  EXPECT_EQ(rtsSwitches, 1) << "RTS asserted by the open";
  EXPECT_TRUE(SysSetRts(port, false));
  bool cts = true;
  EXPECT_TRUE(SysReadCts(port, &cts));
  EXPECT_FALSE(cts);
  EXPECT_EQ(rtsSwitches, 2);
  CommClose(port);
  posix_calls_seen::Reset();
}

TEST(ChannelOnPseudoTerminal, ARequestEndsWhenThePeerStopsReading) {
  PseudoTerminal pty;
  TemporaryWorkingDirectory workingDirectory;
  QvoChannel channel{};
  ASSERT_EQ(OpenChannelOn(&channel, pty.portName(), 1, 5), QVO_STATUS_OK);  // 50 ms
  const int slave = open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(slave, 0);
  const std::string chunk(4096, 'f');
  while (write(slave, chunk.data(), chunk.size()) > 0) {
  }
  uint16_t values[2] = {};
  const auto start = Clock::now();
  EXPECT_EQ(EndsWithin(std::chrono::seconds(30),
                       [&] { return SendTransfer(&channel, QVO_OP_READ_VALUE, QVO_POINT_S, 0, 0, values); }),
            QVO_STATUS_NO_ANSWER);
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 10.0);
  close(slave);
  CallDriver(&channel, QVO_OP_CLOSE_CHANNEL);
}

TEST(ChannelOnPseudoTerminal, ARequestEndsWhileThePeerFloodsTheLine) {
  PseudoTerminal pty;
  TemporaryWorkingDirectory workingDirectory;
  QvoChannel channel{};
  ASSERT_EQ(OpenChannelOn(&channel, pty.portName(), 1, 5), QVO_STATUS_OK);  // 50 ms
  std::atomic<bool> stop{false};
  fcntl(pty.master(), F_SETFL, fcntl(pty.master(), F_GETFL) | O_NONBLOCK);
  std::thread flood([&] {
    const std::string junk(1024, 'f');
    while (!stop) {
      if (write(pty.master(), junk.data(), junk.size()) >= 0) continue;
      // Full: on again as soon as the driver has read some.
      pollfd room = {pty.master(), POLLOUT, 0};
      poll(&room, 1, 100);
    }
  });
  uint16_t values[2] = {};
  const auto start = Clock::now();
  EXPECT_EQ(EndsWithin(std::chrono::seconds(60),
                       [&] { return SendTransfer(&channel, QVO_OP_READ_VALUE, QVO_POINT_S, 0, 0, values); }),
            QVO_STATUS_NO_ANSWER);
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 30.0);
  stop = true;
  flood.join();
  CallDriver(&channel, QVO_OP_CLOSE_CHANNEL);
}

}  // namespace
