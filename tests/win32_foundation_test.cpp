// The Windows foundation, the same source that goes into qvotk.dll, run
// against the Win32 stand-in: every DCB field, the time-outs, the queues,
// the order of the calls, the modem lines and the host's error report.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/host/host_report.h"
#include "platform/serial/line_timing.h"
#include "platform/serial/serial_win32.h"
#include "qvotk/qvotk.h"
#include "serial/exchange.h"
#include "serial/serial_port.h"
#include "sim_line/sim_line.h"
#include "win32_standin/win32_standin.h"

namespace {

using sim::SimLine;

constexpr LineParams kLine = {9600, 7, 2, 1};  // 7 data bits, two stop bits, odd parity
constexpr PortSettings kPort = {9600, 7, 2, 1};

class Win32FoundationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SimLine::Get().Reset();
    win32::State().Reset();
    device = &SimLine::Get().AddDevice("COM3");
    // What the device reports before the driver changes it: every field the
    // driver must leave alone holds a recognisable value.
    DCB& dcb = win32::State().deviceDcb;
    dcb.fTXContinueOnXoff = 1;
    dcb.fDummy2 = 0x1ABCD;
    dcb.wReserved = 0x1111;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.EofChar = 0x1A;
    dcb.EvtChar = 0x7E;
    dcb.wReserved1 = 0x2222;
    // And every field it must set holds the opposite of what it sets.
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = dcb.fOutX = dcb.fInX = 1;
    dcb.fNull = dcb.fAbortOnError = 1;
    dcb.fErrorChar = 0;
    dcb.fBinary = dcb.fParity = 0;
  }

  CommStatus Open(uint16_t flags, const char* name = "COM3", PortHandle* port = nullptr) {
    PortHandle local = kNoPort;
    return CommOpen(name, kPort, flags, port ? port : &local);
  }
  static std::vector<std::string> Functions() { return win32::State().Functions(); }

  sim::SimDevice* device = nullptr;
};

TEST_F(Win32FoundationTest, OpenSetsEveryDcbFieldFromTheFlags) {
  struct FlagCase {
    uint16_t flags;
    DWORD dtr;
    DWORD rts;
  };
  const FlagCase cases[] = {
      {0x0202, DTR_CONTROL_DISABLE, RTS_CONTROL_ENABLE},
      {0x0303, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE},
      {0x0100, DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE},
      {0x8000, DTR_CONTROL_HANDSHAKE, RTS_CONTROL_DISABLE},
      {0x8001, DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE},
      {0x3000, DTR_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE},
      {0x2000, DTR_CONTROL_DISABLE, RTS_CONTROL_TOGGLE},
      {0x0000, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE},
  };
  for (const auto& c : cases) {
    win32::State().dcbsSet.clear();
    PortHandle port = kNoPort;
    ASSERT_EQ(Open(c.flags, "COM3", &port), CommStatus::Ok) << std::hex << c.flags;
    ASSERT_EQ(win32::State().dcbsSet.size(), 1u);
    const DCB& dcb = win32::State().dcbsSet[0];
    const std::string label = "flags " + std::to_string(c.flags);
    EXPECT_EQ(dcb.fDtrControl, c.dtr) << label;
    EXPECT_EQ(dcb.fRtsControl, c.rts) << label;
    EXPECT_EQ(dcb.BaudRate, 9600u) << label;
    EXPECT_EQ(dcb.fBinary, 1u) << label;
    EXPECT_EQ(dcb.fParity, 1u) << label;
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u) << label;
    EXPECT_EQ(dcb.fOutxDsrFlow, 0u) << label;
    EXPECT_EQ(dcb.fDsrSensitivity, 0u) << label;
    EXPECT_EQ(dcb.fOutX, 0u) << label;
    EXPECT_EQ(dcb.fInX, 0u) << label;
    EXPECT_EQ(dcb.fErrorChar, 1u) << label << ": a damaged byte comes as the error character";
    EXPECT_EQ(dcb.fNull, 0u) << label;
    EXPECT_EQ(dcb.fAbortOnError, 0u) << label;
    EXPECT_EQ(dcb.ByteSize, 7) << label;
    EXPECT_EQ(dcb.Parity, 1) << label;
    EXPECT_EQ(dcb.StopBits, 2) << label;
    EXPECT_EQ(static_cast<unsigned char>(dcb.ErrorChar), 0xFC) << label;
    // Left as the device reported them.
    EXPECT_EQ(dcb.fTXContinueOnXoff, 1u) << label;
    EXPECT_EQ(dcb.fDummy2, 0x1ABCDu) << label;
    EXPECT_EQ(dcb.wReserved, 0x1111) << label;
    EXPECT_EQ(dcb.XonLim, 2048) << label;
    EXPECT_EQ(dcb.XoffLim, 512) << label;
    EXPECT_EQ(dcb.XonChar, 0x11) << label;
    EXPECT_EQ(dcb.XoffChar, 0x13) << label;
    EXPECT_EQ(dcb.EofChar, 0x1A) << label;
    EXPECT_EQ(dcb.EvtChar, 0x7E) << label;
    EXPECT_EQ(dcb.wReserved1, 0x2222) << label;
    EXPECT_EQ(dcb.DCBlength, 28u) << label;
    CommClose(port);
  }
}

TEST_F(Win32FoundationTest, OpenCallsTheServicesInOrderWithTheFixedSettings) {
  ASSERT_EQ(Open(0x0202), CommStatus::Ok);
  EXPECT_EQ(Functions(), (std::vector<std::string>{"CreateFileA", "GetCommState", "SetCommTimeouts",
                                                   "SetCommState", "SetupComm"}));
  const auto& calls = win32::State().calls;
  EXPECT_EQ(calls[0].text, "COM3");
  EXPECT_EQ(calls[0].value, 1u) << "read-write, share mode 0, existing device, no overlapped I/O";
  EXPECT_EQ(calls[1].value, 28u) << "DCBlength is set before GetCommState";
  ASSERT_EQ(win32::State().timeoutsSet.size(), 1u);
  const COMMTIMEOUTS& t = win32::State().timeoutsSet[0];
  EXPECT_EQ(t.ReadIntervalTimeout, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 1000u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 0u);
  EXPECT_EQ(win32::State().inputQueue, 1200u);
  EXPECT_EQ(win32::State().outputQueue, 1200u);
}

TEST_F(Win32FoundationTest, EachConfigurationFailureClosesTheHandle) {
  struct FailureCase {
    const char* failing;
    CommStatus status;
  };
  for (const auto& c : {FailureCase{"GetCommState", CommStatus::NotSerial},
                        FailureCase{"SetCommTimeouts", CommStatus::CannotOpen},
                        FailureCase{"SetCommState", CommStatus::SettingsRefused}}) {
    win32::State().calls.clear();
    win32::State().failing = {c.failing};
    EXPECT_EQ(Open(0x0202), c.status) << c.failing;
    EXPECT_EQ(Functions().back(), "CloseHandle") << c.failing;
    EXPECT_FALSE(device->isOpen) << c.failing;
  }
  win32::State().failing.clear();
  win32::State().calls.clear();
  win32::State().failing = {"SetCommTimeouts", "SetCommState"};
  EXPECT_EQ(Open(0x0202), CommStatus::CannotOpen) << "time-outs come first";
  win32::State().failing = {"SetupComm"};
  EXPECT_EQ(Open(0x0202), CommStatus::Ok) << "the queue sizes are a request only";
}

// Why a port did not open, as Windows says it: the reason and GetLastError.
TEST_F(Win32FoundationTest, AFailedOpenGivesTheSystemsReason) {
  struct ReasonCase {
    const char* what;
    const char* port;
    const char* failing;
    DWORD error;
    PortSettings line;
    SysFault fault;
    DWORD code;
  };
  PortHandle held = kNoPort;
  ASSERT_EQ(Open(0x0202, "COM3", &held), CommStatus::Ok);
  SimLine::Get().AddDevice("COM4");
  const ReasonCase cases[] = {
      {"no such port", "COM8", "", 0, kPort, SysFault::NotFound, ERROR_FILE_NOT_FOUND},
      {"held by this driver", "COM3", "", 0, kPort, SysFault::Busy, ERROR_ACCESS_DENIED},
      {"held by another program", "COM4", "CreateFileA", ERROR_SHARING_VIOLATION, kPort, SysFault::Busy,
       ERROR_SHARING_VIOLATION},
      {"a bad name", "COM4", "CreateFileA", ERROR_INVALID_NAME, kPort, SysFault::NotFound,
       ERROR_INVALID_NAME},
      {"the null device in small letters", "nul", "", 0, kPort, SysFault::NotSerial, ERROR_INVALID_FUNCTION},
      {"nine data bits", "COM4", "", 0, PortSettings{9600, 9, 0, 0}, SysFault::SettingsRefused,
       ERROR_INVALID_PARAMETER},
      {"a device that went", "COM4", "CreateFileA", ERROR_DEVICE_NOT_CONNECTED, kPort, SysFault::Gone,
       ERROR_DEVICE_NOT_CONNECTED},
  };
  SimLine::Get().AddDevice("nul").isSerial = false;
  for (const ReasonCase& c : cases) {
    win32::State().failing = {c.failing};
    win32::State().failingWith = {{c.failing, c.error}};
    PortHandle port = kNoPort;
    SysResult why = kSysDone;
    EXPECT_NE(CommOpen(c.port, c.line, 0x0202, &port, &why), CommStatus::Ok) << c.what;
    EXPECT_EQ(why.fault, c.fault) << c.what;
    EXPECT_EQ(why.systemCode, c.code) << c.what;
  }
  CommClose(held);
}

TEST_F(Win32FoundationTest, NullDeviceIsOpenedAndLeftUnconfigured) {
  SimLine::Get().AddDevice("NUL");
  ASSERT_EQ(Open(0x0202, "NUL"), CommStatus::Ok);
  EXPECT_EQ(Functions(), std::vector<std::string>{"CreateFileA"});
}

TEST_F(Win32FoundationTest, PortsAboveCom9AreOpenedThroughTheDevicePrefix) {
  SimLine::Get().AddDevice("\\\\.\\COM10");
  SimLine::Get().AddDevice("\\\\.\\com12");
  SimLine::Get().AddDevice("\\\\.\\COM15");
  PortHandle port = kNoPort;
  ASSERT_EQ(Open(0x0202, "COM10", &port), CommStatus::Ok);
  CommClose(port);
  ASSERT_EQ(Open(0x0202, "com12", &port), CommStatus::Ok);
  CommClose(port);
  ASSERT_EQ(Open(0x0202, "\\\\.\\COM15", &port), CommStatus::Ok) << "a prefixed name is used as it stands";
  CommClose(port);
  std::vector<std::string> opened;
  for (const auto& call : win32::State().calls) {
    if (call.function == "CreateFileA") opened.push_back(call.text);
  }
  EXPECT_EQ(opened, (std::vector<std::string>{"\\\\.\\COM10", "\\\\.\\com12", "\\\\.\\COM15"}));
  EXPECT_EQ(Open(0x0202, "COM3"), CommStatus::Ok) << "COM1-COM9 keep their bare names";
  EXPECT_EQ(win32::State().calls.back().function, "SetupComm");
}

TEST_F(Win32FoundationTest, FlushAsksClearCommErrorForTheWaitingBytes) {
  PortHandle port = kNoPort;
  ASSERT_EQ(Open(0x0202, "COM3", &port), CommStatus::Ok);
  win32::State().calls.clear();
  EXPECT_EQ(CommFlushInput(port), CommStatus::Ok);
  EXPECT_EQ(Functions(), std::vector<std::string>{"ClearCommError"});

  device->Deliver(std::string(600, 'x'));
  win32::State().calls.clear();
  EXPECT_EQ(CommFlushInput(port), CommStatus::Ok);
  EXPECT_EQ(Functions(),
            (std::vector<std::string>{"ClearCommError", "GetCommTimeouts", "SetCommTimeouts", "ReadFile",
                                      "ReadFile", "GetCommTimeouts", "SetCommTimeouts"}));
  EXPECT_EQ(win32::State().calls[3].value, 512u);
  EXPECT_EQ(device->timeouts.readTotalConstant, 1000u);
}

// A poll repeated back to back counts once.
std::vector<std::string> Collapsed(const std::vector<std::string>& calls) {
  std::vector<std::string> collapsed;
  for (const std::string& call : calls) {
    if (collapsed.empty() || collapsed.back() != call) collapsed.push_back(call);
  }
  return collapsed;
}

TEST_F(Win32FoundationTest, ExchangeKeysRtsAndReadsCts) {
  PortHandle port = kNoPort;
  ASSERT_EQ(Open(0x0202, "COM3", &port), CommStatus::Ok);
  LineTurn turn;
  StartTurns(&turn, port, ':');
  device->ctsFromPoll = 3;
  win32::State().calls.clear();
  ASSERT_TRUE(SendFrame(&turn, ":0405000110EA\r\n", 15));
  // After the write, the output queue is polled until the frame has left;
  // then RTS clears, and the overruns so far are noted.
  EXPECT_EQ(Collapsed(Functions()),
            (std::vector<std::string>{"EscapeCommFunction", "ClearCommError", "GetCommModemStatus", "Sleep",
                                      "GetCommModemStatus", "Sleep", "GetCommModemStatus", "WriteFile",
                                      "ClearCommError", "EscapeCommFunction", "ClearCommError"}));
  EXPECT_EQ(win32::State().calls.front().value, static_cast<DWORD>(SETRTS));
  EXPECT_EQ(win32::State().calls[3].value, 1u) << "1 ms between polls";
}

// A converter keyed by RTS cuts off what has not left the UART when RTS
// clears. WriteFile returns once the bytes are queued; the foundation holds
// RTS until the last stop bit has left, and no longer than a moment after.
TEST_F(Win32FoundationTest, RtsClearsOnceTheFrameHasLeftTheTransmitter) {
  const std::string frame = ":0609000166001080\r\n";
  for (const uint16_t baud : {uint16_t{2400}, uint16_t{57600}}) {
    for (const uint32_t fifo : {16u, 64u}) {  // a UART, and a USB adapter that takes the whole frame
      SimLine::Get().Reset();
      sim::SimDevice& line = SimLine::Get().AddDevice("COM4");
      line.microsecondsPerCharacter = CharacterNanoseconds(baud, 8, 0, 0) / 1000;
      line.transmitFifo = fifo;
      const PortSettings params = {baud, 8, 0, 0};
      PortHandle port = kNoPort;
      ASSERT_EQ(CommOpen("COM4", params, COMM_RTS_ON, &port), CommStatus::Ok);
      LineTurn turn;
      StartTurns(&turn, port, ':');
      ASSERT_TRUE(SendFrame(&turn, frame.data(), static_cast<uint32_t>(frame.size())));
      const std::string label = std::to_string(baud) + " baud, FIFO " + std::to_string(fifo);
      EXPECT_EQ(line.delivered, frame) << label;
      uint64_t written = 0, cleared = 0;
      for (const sim::ServiceCall& call : SimLine::Get().Calls()) {
        if (call.service == sim::Service::Write) written = call.atMicroseconds;
        if (call.service == sim::Service::SetRts && call.argument == 0) cleared = call.atMicroseconds;
      }
      const uint64_t lastStopBit = written + frame.size() * line.microsecondsPerCharacter;
      EXPECT_GE(cleared, lastStopBit) << label;
      EXPECT_LE(cleared, lastStopBit + line.microsecondsPerCharacter) << label;
      CommClose(port);

      // The rule of clearing RTS as soon as WriteFile returns, on the same
      // line, loses the end of the frame.
      ASSERT_EQ(CommOpen("COM4", params, COMM_RTS_ON, &port), CommStatus::Ok);
      line.delivered.clear();
      DWORD moved = 0;
      ASSERT_TRUE(
          WriteFile(Win32HandleOf(port), frame.data(), static_cast<DWORD>(frame.size()), &moved, nullptr));
      ASSERT_TRUE(EscapeCommFunction(Win32HandleOf(port), CLRRTS));
      EXPECT_LT(line.delivered.size(), frame.size()) << label;
      EXPECT_GT(line.charactersCutOff, 0u) << label;
      CommClose(port);
    }
  }
}

// A peer that never takes the frame holds RTS up no longer than the frame's
// time on the wire and one read time-out.
TEST_F(Win32FoundationTest, ATransmitterThatNeverDrainsHoldsRtsOnlyBoundedly) {
  sim::SimDevice& line = SimLine::Get().AddDevice("COM4");
  line.microsecondsPerCharacter = CharacterNanoseconds(9600, 8, 0, 0) / 1000;
  line.transmitFifo = 0;
  line.transmitterHeld = true;
  PortHandle port = kNoPort;
  ASSERT_EQ(CommOpen("COM4", PortSettings{9600, 8, 0, 0}, COMM_RTS_ON, &port), CommStatus::Ok);
  ASSERT_EQ(CommSetReadTimeout(port, 30), CommStatus::Ok);  // 300 ms
  const std::string frame = ":0508000168008F\r\n";
  LineTurn turn;
  StartTurns(&turn, port, ':');
  const uint64_t start = SimLine::Get().NowMicroseconds();
  SendFrame(&turn, frame.data(), static_cast<uint32_t>(frame.size()));
  const uint64_t wire = frame.size() * line.microsecondsPerCharacter;
  const uint64_t held = SimLine::Get().NowMicroseconds() - start;
  EXPECT_GE(held, wire + 300000) << "it did wait for the frame to leave";
  EXPECT_LE(held, wire + 300000 + 20000) << "bounded, with a few polls' slack";
  EXPECT_TRUE(line.delivered.empty());
  CommClose(port);
}

// A device that has gone: its handle is closed at once (some drivers hold
// the COM name while one is open), the port's own handle goes on without
// asking Windows anything, and the device is opened again by its name.
TEST_F(Win32FoundationTest, AVanishedPortIsClosedAtOnceAndOpenedAgainUnderItsHandle) {
  PortHandle port = kNoPort;
  ASSERT_EQ(Open(0x0202, "COM3", &port), CommStatus::Ok);
  LineTurn turn;
  StartTurns(&turn, port, ':');
  const char frame[] = ":0405000110EA\r\n";
  device->unplugged = true;
  EXPECT_FALSE(SendFrame(&turn, frame, 15));
  EXPECT_TRUE(CommPortLost(port));
  const std::vector<std::string> calls = Functions();
  EXPECT_EQ(calls.back(), "CloseHandle") << "closed where the loss was found, and nothing after";
  EXPECT_EQ(Win32HandleOf(port), INVALID_HANDLE_VALUE);
  win32::State().calls.clear();
  EXPECT_FALSE(SendFrame(&turn, frame, 15));
  EXPECT_TRUE(Functions().empty());

  device->unplugged = false;
  win32::State().debugStrings.clear();
  EXPECT_TRUE(CommBeginRequest(port)) << "found again by the name it was opened with";
  const std::vector<std::string> seek = Functions();
  EXPECT_NE(std::find(seek.begin(), seek.end(), "CreateFileA"), seek.end());
  EXPECT_EQ(win32::State().debugStrings,
            (std::vector<std::string>{"QVOTOVEK  : Lost COM3", "QVOTOVEK  : Found COM3 again"}));
  EXPECT_TRUE(SendFrame(&turn, frame, 15));
  EXPECT_EQ(device->timeouts.readTotalConstant, 1000u) << "the time-out it had";
}

TEST_F(Win32FoundationTest, HostReportGoesToDavrinWhenLoadedElseToTheDebugger) {
  ReportToHost(HostReport::PortOpenFailed, "TOVEK ", "COM7");
  ASSERT_EQ(win32::State().debugStrings.size(), 1u);
  EXPECT_EQ(win32::State().debugStrings[0], "QVOTOVEK  : Fail to open COM7");
  EXPECT_TRUE(win32::State().davrinReports.empty());

  // err receives each report's own format and arguments: a host may key on
  // the format, and a port name is never taken for one.
  win32::State().davrinLoaded = true;
  ReportToHost(HostReport::PortOpenFailed, "TOVEK ", "%s%n");
  ReportToHost(HostReport::PortOpenReason, "TOVEK ", "%s%n", "held by another program (error 5)");
  ReportToHost(HostReport::RtsOnFailed);
  ReportToHost(HostReport::RtsOffFailed);
  EXPECT_EQ(
      win32::State().davrinReports,
      (std::vector<std::string>{"32: QVOTOVEK  : Fail to open %s%n",
                                "32: QVOTOVEK  : %s%n: held by another program (error 5)",
                                "32:  QvoTK: Fail to set RTS to on", "32:  QvoTK: Fail to set RTS to off"}));
  EXPECT_EQ(win32::State().davrinFormats,
            (std::vector<std::string>{"QVO%s : Fail to open %s", "QVO%s : %s: %s",
                                      " QvoTK: Fail to set RTS to on", " QvoTK: Fail to set RTS to off"}));
  EXPECT_EQ(win32::State().debugStrings.size(), 1u);
}

TEST_F(Win32FoundationTest, StationFileIsReadWhateverElseHoldsItOpen) {
  // An editor or a deployment tool may hold the file open for writing.
  win32::State().files["QVOTK02.int"] = {"STATION=0042", FILE_TYPE_DISK};
  QvoChannel channel{};
  QvoOpenParams open{};
  std::strcpy(open.portName, "COM3");
  open.enable = 1;
  open.lineParams = kLine;
  QvoRequest request{&channel, QVO_OP_OPEN_CHANNEL, 2, 0, &open};
  ASSERT_EQ(QvoMain(&request), QVO_STATUS_OK);
  EXPECT_EQ(channel.stationAddress, 42);
  ASSERT_EQ(win32::State().fileShareModes.size(), 1u);
  EXPECT_EQ(win32::State().fileShareModes[0], FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);

  // A pipe of that name is no station file.
  request.opcode = QVO_OP_CLOSE_CHANNEL;
  ASSERT_EQ(QvoMain(&request), QVO_STATUS_OK);
  win32::State().files["QVOTK02.int"].type = FILE_TYPE_PIPE;
  request.opcode = QVO_OP_OPEN_CHANNEL;
  ASSERT_EQ(QvoMain(&request), QVO_STATUS_OK);
  EXPECT_EQ(channel.stationAddress, 1);
}

}  // namespace
