/*
 * qvotk: the driver for TOVEK controllers on RS-485 serial lines, as a host
 * (an HMI or SCADA program) loads it. This is its whole interface: one
 * function, QvoMain, called with a request record, and the records a
 * request carries. C (C99 and later) and C++.
 *
 * A host:
 *   1. asks for the driver information (QVO_OP_DRIVER_INFO) to learn the
 *      size of a channel record (688 bytes) and the default line settings;
 *   2. allocates one zeroed channel record per serial line and keeps it for
 *      as long as it uses the line, passing it in every request;
 *   3. opens the channel (QVO_OP_OPEN_CHANNEL), validates the point names
 *      its users type (QVO_OP_VALIDATE_POINT), reads and writes values
 *      (QVO_OP_READ_VALUE, QVO_OP_READ_BLOCK, QVO_OP_WRITE_VALUE), and
 *      closes the channel (QVO_OP_CLOSE_CHANNEL).
 *
 * Every call blocks the calling thread until the exchange with the
 * controller ends. Requests on different channels may run on different
 * threads at once; two requests on one channel must not.
 *
 * The records below have a fixed layout (offsets given for the 32-bit
 * Windows host; on 64-bit platforms the pointers are 8 bytes wide and move
 * the fields after them). Fields named reserved are not read by the driver.
 */
#ifndef QVOTK_QVOTK_H
#define QVOTK_QVOTK_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* QvoMain follows the Windows standard calling convention on Windows (the
 * callee removes its argument), the platform's C convention elsewhere. */
#if defined(_WIN32)
#define QVO_CALL __stdcall
#else
#define QVO_CALL
#endif

#if defined(__GNUC__) && !defined(_WIN32)
#define QVO_API __attribute__((visibility("default")))
#else
#define QVO_API
#endif

/* The result of every request. */
typedef int32_t QvoStatus;
enum {
  QVO_STATUS_OK = 0,
  /* The controller refused (a status or checksum error), or the request
   * cannot be sent as asked: an invalid point name or value, a block count
   * out of range. Nothing was written back. */
  QVO_STATUS_REJECTED = 1,
  /* No answer, a short or mismatched answer, or the port failed. */
  QVO_STATUS_NO_ANSWER = 2
};

/* What a request asks for: QvoRequest.opcode. Any other opcode is refused
 * with QVO_STATUS_REJECTED and changes nothing. */
enum QvoOpcode {
  QVO_OP_OPEN_CHANNEL = 1,         /* params: QvoOpenParams */
  QVO_OP_FLUSH_INPUT = 2,          /* discard input waiting on the port; no params */
  QVO_OP_VALIDATE_POINT = 3,       /* params: QvoPointAddress */
  QVO_OP_CHECK_BLOCK_POINT = 4,    /* params: QvoPointAddress */
  QVO_OP_READ_VALUE = 5,           /* params: QvoTransfer */
  QVO_OP_READ_BLOCK = 6,           /* params: QvoTransfer */
  QVO_OP_WRITE_VALUE = 7,          /* params: QvoTransfer */
  QVO_OP_UNSUPPORTED = 10,         /* always QVO_STATUS_REJECTED */
  QVO_OP_CLOSE_CHANNEL = 11,       /* no params */
  QVO_OP_CLOSE_CHANNEL_ALIAS = 12, /* the same close, under the other number hosts send */
  QVO_OP_REOPEN_CHANNEL = 13,      /* open again with the stored settings; no params */
  QVO_OP_DRIVER_INFO = 14,         /* params: QvoDriverInfo; needs no channel */
  QVO_OP_RECONFIGURE_CHANNEL = 15  /* params: QvoReconfigureParams */
};

/* The kinds of point: QvoPointAddress.pointKind and QvoTransfer.pointKind. */
enum QvoPointKind {
  QVO_POINT_S = 0,       /* the S point, named "S"; values 0-9 */
  QVO_POINT_NUMBERED = 1 /* a numbered point, named by three digits "000"-"999"; values 0-255 */
};

/* The station file: one per line, read at open from the host's working
 * directory, named by this pattern and the request's lineNumber ("QVOTK03.int"
 * for line 3). The number after its first '=' is the controller's station
 * address, 0-9999 ("STATION=12"); without a file the address is 1. */
#define QVO_STATION_FILE_PATTERN "QVOTK%02d.int"

/* Line settings, in the Windows codes. */
typedef struct LineParams {
  uint16_t baudRate; /* 1-65535 */
  uint16_t dataBits; /* 5-8 */
  uint16_t stopBits; /* 0 one, 1 one and a half, 2 two */
  uint16_t parity;   /* 0 none, 1 odd, 2 even, 3 mark, 4 space */
} LineParams;

#define QVO_PORT_NAME_SIZE 12 /* 11 characters and the terminator */

/* The port a channel opens, as the driver keeps it. */
typedef struct PortSpec {
  char portName[QVO_PORT_NAME_SIZE];
  LineParams lineParams;
  uint16_t openFlags;
} PortSpec;

/* One per serial line. The host allocates it zeroed, at the size the driver
 * information gives, keeps it between requests and never changes it; the
 * driver keeps the line's state here. */
typedef struct QvoChannel {
  uint32_t readTimeout; /* units of 10 ms, from the open */
  uint32_t active;      /* the open's enable word; 1 after a reopen or reconfigure */
  uint32_t port;        /* the open port; 0 while the channel holds none */
  PortSpec portSpec;
  char txFrame[50]; /* the driver's scratch */
  char rxFrame[600];
  uint8_t rxChecksum;
  uint8_t spare;
  uint16_t stationAddress; /* from the station file */
} QvoChannel;

/* The record of every call. */
typedef struct QvoRequest {
  QvoChannel* channel; /* not read by VALIDATE_POINT, CHECK_BLOCK_POINT, UNSUPPORTED, DRIVER_INFO */
  uint32_t opcode;     /* enum QvoOpcode */
  int32_t lineNumber;  /* read by OPEN_CHANNEL only: names the station file */
  uint32_t reserved;
  void* params; /* the opcode's parameter block, or null */
} QvoRequest;

/* QVO_OP_DRIVER_INFO fills it. The two texts live in the driver; the host
 * must neither free nor change them. */
typedef struct QvoDriverInfo {
  uint32_t driverCode;    /* 70 */
  const char* driverName; /* "TOVEK " */
  const char* banner;     /* 316 characters in code page 437 */
  uint32_t channelSize;   /* 688: allocate this much per channel */
  uint32_t presetA;       /* 4 */
  LineParams defaultLine; /* 2400 baud, 8 data bits, one stop bit, no parity */
  uint32_t presetB;       /* 1 */
} QvoDriverInfo;

/* QVO_OP_OPEN_CHANNEL. The host sets all four fields.
 * enable 0 opens nothing: the request answers QVO_STATUS_OK and only records
 * the line as unused (QvoChannel.active = 0), so that every value request on
 * it then fails. Any other enable word opens the port. A port that does not
 * open is reported to the host's error report ("QVOTOVEK  : Fail to open
 * COM9"), then why, once ("QVOTOVEK  : COM9: not found (error 2)"), and
 * answers QVO_STATUS_NO_ANSWER. */
typedef struct QvoOpenParams {
  char portName[QVO_PORT_NAME_SIZE]; /* terminated, at most 11 characters: "COM1", "ttyUSB0" */
  uint32_t enable;
  uint32_t timeout; /* read time-out in units of 10 ms; 0 waits for ever */
  LineParams lineParams;
} QvoOpenParams;

/* QVO_OP_RECONFIGURE_CHANNEL: a new port name, and new line settings unless
 * baudRate is 0 (then the stored ones stay). The port is opened again and
 * the channel's read time-out applied. */
typedef struct QvoReconfigureParams {
  char portName[16]; /* terminated, at most 11 characters */
  LineParams lineParams;
} QvoReconfigureParams;

/* QVO_OP_VALIDATE_POINT and QVO_OP_CHECK_BLOCK_POINT. The host sets name
 * (and, for CHECK_BLOCK_POINT, valueCount); a valid name answers
 * QVO_STATUS_OK with pointKind and, for a numbered point, pointNumber. The
 * three constants are written on every call. CHECK_BLOCK_POINT accepts only
 * point "001" with a valueCount of 0-255. */
typedef struct QvoPointAddress {
  const char* name; /* "S", "s", or three digits, optionally followed by blanks */
  uint32_t reserved1;
  uint32_t reserved2;
  int32_t valueCount;
  uint32_t fifthField;  /* out: 0 */
  uint32_t pointKind;   /* out: enum QvoPointKind */
  int32_t pointNumber;  /* out: 0-999 */
  uint32_t eighthField; /* out: 255 */
  uint32_t ninthField;  /* out: 16 */
} QvoPointAddress;

/* QVO_OP_READ_VALUE, QVO_OP_WRITE_VALUE and QVO_OP_READ_BLOCK. The host sets
 * pointKind and pointNumber as validation gave them, and values:
 * - READ_VALUE stores the value in values[1] on success (values[0] is not
 *   used; the array holds at least two);
 * - WRITE_VALUE writes values[1]: 0-9 to the S point, 1 or 2 to a numbered
 *   point;
 * - READ_BLOCK reads valueCount values (0-255) of point 001 into values[0]
 *   onward.
 * A request makes at most 10 attempts; on failure no value is written. */
typedef struct QvoTransfer {
  uint8_t reserved1[12];
  uint32_t pointKind; /* enum QvoPointKind */
  uint32_t pointNumber;
  uint8_t reserved2[12];
  int32_t valueCount; /* READ_BLOCK only */
  uint32_t reserved3;
  uint16_t* values;
} QvoTransfer;

/* The driver's one export. Loaded at run time, it is found under this name
 * (undecorated on Windows too) and called through QvoMainFunction. */
QVO_API QvoStatus QVO_CALL QvoMain(QvoRequest* request);
typedef QvoStatus(QVO_CALL* QvoMainFunction)(QvoRequest* request);

/* The layout is the host's interface; these checks hold it. */
#if defined(__cplusplus)
#define QVO_LAYOUT_CHECK(condition, what) static_assert(condition, what)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define QVO_LAYOUT_CHECK(condition, what) _Static_assert(condition, what)
#elif defined(__GNUC__)
#define QVO_LAYOUT_CHECK(condition, what) __extension__ _Static_assert(condition, what)
#else
#define QVO_LAYOUT_CHECK(condition, what)
#endif

/* Records without pointers have one layout everywhere. */
QVO_LAYOUT_CHECK(sizeof(LineParams) == 8, "LineParams");
QVO_LAYOUT_CHECK(sizeof(PortSpec) == 22 && offsetof(PortSpec, lineParams) == 12 &&
                     offsetof(PortSpec, openFlags) == 20,
                 "PortSpec");
QVO_LAYOUT_CHECK(sizeof(QvoChannel) == 688, "QvoChannel is 688 bytes");
QVO_LAYOUT_CHECK(offsetof(QvoChannel, active) == 4 && offsetof(QvoChannel, port) == 8 &&
                     offsetof(QvoChannel, portSpec) == 12 && offsetof(QvoChannel, txFrame) == 34 &&
                     offsetof(QvoChannel, rxFrame) == 84 && offsetof(QvoChannel, rxChecksum) == 684 &&
                     offsetof(QvoChannel, spare) == 685 && offsetof(QvoChannel, stationAddress) == 686,
                 "QvoChannel");
QVO_LAYOUT_CHECK(sizeof(QvoOpenParams) == 28 && offsetof(QvoOpenParams, enable) == 12 &&
                     offsetof(QvoOpenParams, timeout) == 16 && offsetof(QvoOpenParams, lineParams) == 20,
                 "QvoOpenParams");
QVO_LAYOUT_CHECK(sizeof(QvoReconfigureParams) == 24 && offsetof(QvoReconfigureParams, lineParams) == 16,
                 "QvoReconfigureParams");

/* Records with pointers: as the 32-bit host has them. */
#if UINTPTR_MAX == 0xFFFFFFFFu
QVO_LAYOUT_CHECK(sizeof(QvoRequest) == 20 && offsetof(QvoRequest, opcode) == 4 &&
                     offsetof(QvoRequest, lineNumber) == 8 && offsetof(QvoRequest, params) == 16,
                 "QvoRequest");
QVO_LAYOUT_CHECK(sizeof(QvoDriverInfo) == 32 && offsetof(QvoDriverInfo, driverName) == 4 &&
                     offsetof(QvoDriverInfo, banner) == 8 && offsetof(QvoDriverInfo, channelSize) == 12 &&
                     offsetof(QvoDriverInfo, presetA) == 16 && offsetof(QvoDriverInfo, defaultLine) == 20 &&
                     offsetof(QvoDriverInfo, presetB) == 28,
                 "QvoDriverInfo");
QVO_LAYOUT_CHECK(sizeof(QvoPointAddress) == 36 && offsetof(QvoPointAddress, valueCount) == 12 &&
                     offsetof(QvoPointAddress, fifthField) == 16 &&
                     offsetof(QvoPointAddress, pointKind) == 20 &&
                     offsetof(QvoPointAddress, pointNumber) == 24 &&
                     offsetof(QvoPointAddress, eighthField) == 28 &&
                     offsetof(QvoPointAddress, ninthField) == 32,
                 "QvoPointAddress");
QVO_LAYOUT_CHECK(sizeof(QvoTransfer) == 44 && offsetof(QvoTransfer, pointKind) == 12 &&
                     offsetof(QvoTransfer, pointNumber) == 16 && offsetof(QvoTransfer, valueCount) == 32 &&
                     offsetof(QvoTransfer, values) == 40,
                 "QvoTransfer");
#endif

#ifdef __cplusplus
}
#endif

#endif /* QVOTK_QVOTK_H */
