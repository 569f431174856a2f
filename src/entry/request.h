// Records exchanged with the host, and the driver's result codes.
//
// The layouts are the host's interface: byte offsets are fixed for the
// 32-bit targets (Windows x86 and 32-bit Linux). On 64-bit Linux the pointer
// fields are naturally 8 bytes wide and move the fields after them; the
// channel record holds no pointer and is 688 bytes everywhere.
#pragma once

#include <cstddef>
#include <cstdint>

// QvoMain follows the Windows standard calling convention on Windows (the
// callee removes its argument); elsewhere the platform's C convention. On
// Windows the export is named through the module definition file.
#if defined(_WIN32)
#define QVO_CALL __stdcall
#define QVO_EXPORT
#else
#define QVO_CALL
#define QVO_EXPORT __attribute__((visibility("default")))
#endif

using QvoStatus = int32_t;

constexpr QvoStatus kStatusOk = 0;
// The controller answered with an error, a checksum did not match, or the
// request was not acceptable.
constexpr QvoStatus kStatusRejected = 1;
// No answer, a short or mismatched answer, or a port failure.
constexpr QvoStatus kStatusNoAnswer = 2;

// Handle of an open serial device; 32 bits on every platform so that the
// channel record keeps its size. 0 means "no port".
using PortHandle = uint32_t;
constexpr PortHandle kNoPort = 0;

// Stop-bits and parity codes are the Windows ones and pass unchanged into
// the port's settings.
struct LineParams {
  uint16_t baudRate;
  uint16_t dataBits;
  uint16_t stopBits;  // 0 one, 1 one and a half, 2 two
  uint16_t parity;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
};

constexpr std::size_t kPortNameSize = 12;  // 11 characters and the terminator

struct PortSpec {
  char portName[kPortNameSize];
  LineParams lineParams;
  uint16_t openFlags;
};

constexpr std::size_t kTxFrameSize = 50;
constexpr std::size_t kRxFrameSize = 600;

struct QvoChannel {
  uint32_t readTimeout;  // units of 10 ms
  uint32_t active;       // kept for the host, never read by the driver
  PortHandle port;
  PortSpec portSpec;
  char txFrame[kTxFrameSize];
  char rxFrame[kRxFrameSize];
  uint8_t rxChecksum;
  uint8_t spare;
  uint16_t stationAddress;
};

struct QvoRequest {
  QvoChannel* channel;
  uint32_t opcode;
  int32_t lineNumber;
  uint32_t reserved;
  void* params;
};

struct QvoDriverInfo {
  uint32_t driverCode;
  const char* driverName;
  const char* banner;
  uint32_t channelSize;
  uint32_t presetA;
  LineParams defaultLine;
  uint32_t presetB;
};

// Parameter block of opcode 1.
struct QvoOpenParams {
  char portName[kPortNameSize];
  uint32_t enable;
  uint32_t timeout;  // units of 10 ms
  LineParams lineParams;
};

// Parameter block of opcode 15.
struct QvoReconfigureParams {
  char portName[16];
  LineParams lineParams;
};

// Parameter block of opcodes 3 and 4.
struct QvoPointAddress {
  const char* name;
  uint32_t reserved1;
  uint32_t reserved2;
  int32_t valueCount;
  uint32_t fifthField;
  uint32_t pointKind;
  int32_t pointNumber;
  uint32_t eighthField;
  uint32_t ninthField;
};

// Parameter block of opcodes 5, 6 and 7.
struct QvoTransfer {
  uint8_t reserved1[12];
  uint32_t pointKind;
  uint32_t pointNumber;
  uint8_t reserved2[12];
  int32_t valueCount;
  uint32_t reserved3;
  uint16_t* values;
};

constexpr uint32_t kPointKindS = 0;
constexpr uint32_t kPointKindNumbered = 1;

extern "C" QVO_EXPORT QvoStatus QVO_CALL QvoMain(QvoRequest* request);

// Layout checks. Records without pointers have the same layout everywhere.
static_assert(sizeof(LineParams) == 8);
static_assert(sizeof(PortSpec) == 22);
static_assert(offsetof(PortSpec, lineParams) == 12 && offsetof(PortSpec, openFlags) == 20);
static_assert(sizeof(QvoChannel) == 688);
static_assert(offsetof(QvoChannel, readTimeout) == 0 && offsetof(QvoChannel, active) == 4);
static_assert(offsetof(QvoChannel, port) == 8 && offsetof(QvoChannel, portSpec) == 12);
static_assert(offsetof(QvoChannel, txFrame) == 34 && offsetof(QvoChannel, rxFrame) == 84);
static_assert(offsetof(QvoChannel, rxChecksum) == 684 && offsetof(QvoChannel, spare) == 685);
static_assert(offsetof(QvoChannel, stationAddress) == 686);
static_assert(sizeof(QvoOpenParams) == 28);
static_assert(offsetof(QvoOpenParams, enable) == 12 && offsetof(QvoOpenParams, timeout) == 16);
static_assert(offsetof(QvoOpenParams, lineParams) == 20);
static_assert(sizeof(QvoReconfigureParams) == 24 && offsetof(QvoReconfigureParams, lineParams) == 16);

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(QvoRequest) == 20);
static_assert(offsetof(QvoRequest, opcode) == 4 && offsetof(QvoRequest, lineNumber) == 8);
static_assert(offsetof(QvoRequest, params) == 16);
static_assert(sizeof(QvoDriverInfo) == 32);
static_assert(offsetof(QvoDriverInfo, driverName) == 4 && offsetof(QvoDriverInfo, banner) == 8);
static_assert(offsetof(QvoDriverInfo, channelSize) == 12 && offsetof(QvoDriverInfo, presetA) == 16);
static_assert(offsetof(QvoDriverInfo, defaultLine) == 20 && offsetof(QvoDriverInfo, presetB) == 28);
static_assert(sizeof(QvoPointAddress) == 36);
static_assert(offsetof(QvoPointAddress, valueCount) == 12 && offsetof(QvoPointAddress, fifthField) == 16);
static_assert(offsetof(QvoPointAddress, pointKind) == 20 && offsetof(QvoPointAddress, pointNumber) == 24);
static_assert(offsetof(QvoPointAddress, eighthField) == 28 && offsetof(QvoPointAddress, ninthField) == 32);
static_assert(sizeof(QvoTransfer) == 44);
static_assert(offsetof(QvoTransfer, pointKind) == 12 && offsetof(QvoTransfer, pointNumber) == 16);
static_assert(offsetof(QvoTransfer, valueCount) == 32 && offsetof(QvoTransfer, values) == 40);
#endif
