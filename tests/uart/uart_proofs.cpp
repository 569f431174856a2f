// The POSIX foundation against Linux's own 8250 driver, inside a QEMU guest:
// the system calls that a pseudo-terminal answers with ENOTTY, on UARTs
// that answer them. The guest's ports:
//   COM1 (ttyS0)  a controller on the host (station 1, S = 7, point 009 =
//                 200, a block of 1 ... 255), through a socket;
//   COM2 (ttyS1)  a host pseudo-terminal as the serial backend: CTS reads low;
//   COM3 (ttyS2)  QEMU as a telnet server, a controller on the host that
//                 sends a break inside its first reply.
// Each proof prints one line: "proof: NAME: ok" or "proof: NAME: FAILED".
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "serial/serial_port.h"
#include "support/every_opcode.h"
#include "support/posix_calls_seen.h"
#include "support/requests.h"
#include "support/temp_dir.h"
#include "support/termios2_view.h"

namespace {

using posix_calls_seen::Call;

// A descriptor of a guest port of the test's own, apart from the driver's.
struct Peek {
  explicit Peek(const char* path) : fd(open(path, O_RDWR | O_NOCTTY | O_NONBLOCK)) {}
  ~Peek() {
    if (fd >= 0) close(fd);
  }
  int ModemBits() const {
    int bits = 0;
    return ioctl(fd, TIOCMGET, &bits) == 0 ? bits : -1;
  }
  bool Settings(termios* tio) const { return tcgetattr(fd, tio) == 0; }
  int SerialFlags() const {
    serial_struct serial;
    return ioctl(fd, TIOCGSERIAL, &serial) == 0 ? serial.flags : -1;
  }
  int fd;
};

class UartProof : public ::testing::Test {
 protected:
  void SetUp() override {
    posix_calls_seen::Reset();
    workingDirectory.WriteFile("QVOTK01.int", "STATION=1\n");
  }
  void TearDown() override {
    posix_calls_seen::Reset();
    QvoRequest close{&channel, QVO_OP_CLOSE_CHANNEL, 0, 0, nullptr};
    QvoMain(&close);
  }
  QvoStatus ReadS(uint16_t* value) {
    uint16_t values[2] = {};
    const QvoStatus status = SendTransfer(&channel, QVO_OP_READ_VALUE, QVO_POINT_S, 0, 0, values);
    *value = values[1];
    return status;
  }

  TemporaryWorkingDirectory workingDirectory;
  QvoChannel channel{};
};

// RTS is raised, the frame written, the transmitter found empty, RTS
// cleared after the send and again after the receive: TIOCMBIS and TIOCMBIC
// switch the UART's line, read back after each switch.
TEST_F(UartProof, ModemLinesAreSwitchedNotLoopedBack) {
  ASSERT_EQ(OpenChannelOn(&channel, "COM1", 1, 20), QVO_STATUS_OK);
  std::vector<std::string> steps;
  posix_calls_seen::AnswerControl([&](int fd, unsigned long request, void* argument, int* result) {
    if (request != TIOCMBIS && request != TIOCMBIC && request != TIOCSERGETLSR && request != TCSBRK)
      return false;
    *result = ioctl(fd, request, argument);
    if (request == TIOCMBIS || request == TIOCMBIC) {
      int bits = 0;
      ioctl(fd, TIOCMGET, &bits);
      steps.push_back(std::string(request == TIOCMBIS ? "RTS on" : "RTS off") +
                      ((bits & TIOCM_RTS) ? ", reads set" : ", reads clear"));
    } else {
      const std::string step = request == TCSBRK ? "drain" : "transmitter empty?";
      if (steps.empty() || steps.back() != step) steps.push_back(step);
    }
    return true;
  });
  const uint64_t writes = posix_calls_seen::Calls(Call::Write);
  uint16_t value = 0;
  ASSERT_EQ(ReadS(&value), QVO_STATUS_OK);
  EXPECT_EQ(value, 7);
  EXPECT_EQ(posix_calls_seen::Calls(Call::Write) - writes, 1u);
  EXPECT_EQ(steps, (std::vector<std::string>{"RTS on, reads set", "drain", "transmitter empty?",
                                             "RTS off, reads clear", "RTS off, reads clear"}));
}

// The kernel's RS-485 mode: where the UART takes TIOCSRS485, the kernel
// keys RTS around each send and the driver leaves it alone; where it
// refuses (the 8250 of a plain 16550A answers ENOTTY), the driver keys RTS
// itself, as ever.
TEST_F(UartProof, RtsIsLeftToTheKernelWhereItKeysRs485) {
  const Peek peek("/dev/ttyS0");
  serial_rs485 rs485{};
  rs485.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
  const bool kernelKeys = ioctl(peek.fd, TIOCSRS485, &rs485) == 0;
  const int refusal = kernelKeys ? 0 : errno;
  std::printf("proof note: TIOCSRS485 on ttyS0: %s\n", kernelKeys ? "taken" : std::strerror(refusal));
  int rtsSwitches = 0;
  posix_calls_seen::AnswerControl([&](int, unsigned long request, void* argument, int*) {
    if (request == TIOCMBIS || request == TIOCMBIC)
      rtsSwitches += (*static_cast<int*>(argument) & TIOCM_RTS) != 0;
    return false;
  });
  ASSERT_EQ(OpenChannelOn(&channel, "COM1", 1, 20), QVO_STATUS_OK);
  const int atOpen = rtsSwitches;
  uint16_t value = 0;
  EXPECT_EQ(ReadS(&value), QVO_STATUS_OK);
  EXPECT_EQ(value, 7);
  if (kernelKeys) {
    EXPECT_EQ(rtsSwitches, 0) << "the kernel keys RTS";
    rs485.flags = 0;
    ioctl(peek.fd, TIOCSRS485, &rs485);
  } else {
    EXPECT_EQ(refusal, ENOTTY);
    EXPECT_EQ(atOpen, 1) << "RTS asserted by the open";
    EXPECT_EQ(rtsSwitches - atOpen, 3) << "on, off after the send, off after the receive";
  }
}

// No CTS: 19 polls an attempt, nothing written, status 2.
TEST_F(UartProof, TheCtsWaitGivesUpAfterNineteenPolls) {
  ASSERT_EQ(OpenChannelOn(&channel, "COM2", 1, 5), QVO_STATUS_OK);
  EXPECT_EQ(Peek("/dev/ttyS1").ModemBits() & TIOCM_CTS, 0) << "the backend holds CTS low";
  uint64_t ctsPolls = 0;
  posix_calls_seen::AnswerControl([&](int, unsigned long request, void*, int*) {
    ctsPolls += request == TIOCMGET;
    return false;
  });
  const uint64_t writes = posix_calls_seen::Calls(Call::Write);
  uint16_t value = 0;
  EXPECT_EQ(ReadS(&value), QVO_STATUS_NO_ANSWER);
  EXPECT_EQ(ctsPolls, 10u * 19u) << "19 polls in each of the 10 attempts";
  EXPECT_EQ(posix_calls_seen::Calls(Call::Write), writes) << "nothing written without CTS";
}

// A rate by number (termios2), seven data bits, even parity, two stop
// bits, read back from a descriptor of the test's own; the terminal given
// back as it was at close.
TEST_F(UartProof, LineSettingsApplyExactlyAndAreGivenBack) {
  const Peek peek("/dev/ttyS1");
  termios before{};
  ASSERT_TRUE(peek.Settings(&before));
  ASSERT_EQ(OpenChannelOn(&channel, "COM2", 1, 5, LineParams{14400, 7, 2, 2}), QVO_STATUS_OK);
  termios during{};
  ASSERT_TRUE(peek.Settings(&during));
  uint32_t rate = 0;
  ASSERT_TRUE(ReadNumericRate("/dev/ttyS1", &rate));
  EXPECT_EQ(rate, 14400u);
  EXPECT_EQ(during.c_cflag & CSIZE, static_cast<tcflag_t>(CS7));
  EXPECT_TRUE(during.c_cflag & PARENB);
  EXPECT_FALSE(during.c_cflag & PARODD) << "even";
  EXPECT_TRUE(during.c_cflag & CSTOPB) << "two stop bits";
  EXPECT_TRUE(during.c_iflag & PARMRK) << "damaged bytes marked";
  QvoRequest close{&channel, QVO_OP_CLOSE_CHANNEL, 0, 0, nullptr};
  ASSERT_EQ(QvoMain(&close), QVO_STATUS_OK);
  termios after{};
  ASSERT_TRUE(peek.Settings(&after));
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
}

TEST_F(UartProof, LowLatencyIsSetAndGivenBack) {
  const Peek peek("/dev/ttyS1");
  const int before = peek.SerialFlags();
  ASSERT_GE(before, 0);
  ASSERT_EQ(before & ASYNC_LOW_LATENCY, 0) << "the 8250 starts without it";
  ASSERT_EQ(OpenChannelOn(&channel, "COM2", 1, 5), QVO_STATUS_OK);
  EXPECT_NE(peek.SerialFlags() & ASYNC_LOW_LATENCY, 0);
  QvoRequest close{&channel, QVO_OP_CLOSE_CHANNEL, 0, 0, nullptr};
  ASSERT_EQ(QvoMain(&close), QVO_STATUS_OK);
  EXPECT_EQ(peek.SerialFlags(), before);
}

// The device's counters are found at open; a break from the host inside
// the first reply (QEMU's telnet IAC BRK) arrives marked, fails that
// attempt, and the retry reads the value.
TEST_F(UartProof, ABreakFailsTheAttemptItFallsInto) {
  uint64_t counterReads = 0;
  posix_calls_seen::AnswerControl([&](int, unsigned long request, void*, int*) {
    counterReads += request == TIOCGICOUNT;
    return false;
  });
  ASSERT_EQ(OpenChannelOn(&channel, "COM3", 1, 20), QVO_STATUS_OK);
  EXPECT_EQ(counterReads, 1u) << "asked once at open, and answered";
  const uint64_t writes = posix_calls_seen::Calls(Call::Write);
  uint16_t value = 0;
  EXPECT_EQ(ReadS(&value), QVO_STATUS_OK);
  EXPECT_EQ(value, 7);
  EXPECT_EQ(posix_calls_seen::Calls(Call::Write) - writes, 2u) << "the attempt with the break failed";
}

TEST_F(UartProof, ASecondOpenOfAHeldPortIsRefused) {
  ASSERT_EQ(OpenChannelOn(&channel, "COM1", 1, 20), QVO_STATUS_OK);
  PortHandle second = kNoPort;
  EXPECT_EQ(CommOpen("COM1", PortSettings{9600, 8, 0, 0}, COMM_RTS_ON, &second), CommStatus::CannotOpen);
}

TEST_F(UartProof, EveryOpcodeOnceWithABlockOf255Values) {
  HostChannel session(&QvoMain);
  LineOptions line;
  line.port = "COM1";
  line.line = kTestLine;
  line.timeoutUnits = 20;
  ASSERT_EQ(session.Open(line), QVO_STATUS_OK);
  ExpectEveryOpcodeOnce(session, &QvoMain, {"COM1", 255, true});
}

// One line per proof, for the lane to read off the console.
class ProofLines : public ::testing::EmptyTestEventListener {
  void OnTestEnd(const ::testing::TestInfo& test) override {
    std::printf("proof: %s: %s\n", test.name(), test.result()->Passed() ? "ok" : "FAILED");
    std::fflush(stdout);
  }
};

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::UnitTest::GetInstance()->listeners().Append(new ProofLines);
  const int result = RUN_ALL_TESTS();
  std::printf("proofs: %s\n", result == 0 ? "all ok" : "some FAILED");
  return result;
}
