// A capture of a port's traffic, when the host's environment names a file
// (QVOTK_CAPTURE; a "%p" in it stands for the port's name, with '/', '\'
// and ':' as '_'): every frame sent, every read of the line as it came,
// line errors, and the port lost and found again. The file is a classic
// pcap file of link type 250 (serial line events): per record a 12-byte
// header (the time, big-endian seconds and microseconds; the event; the
// modem lines, CTS 0x01 and RTS 0x08; two bytes 0) and the bytes.
// Records are kept in the serial port's record of the port (serial_port.cpp)
// and written when the request ends; a capture that cannot be written stops,
// and the request goes on as if there were none.
#pragma once

#include <cstdint>

#include "platform/host/capture_file.h"
#include "platform/serial/serial_services.h"

enum class CaptureEvent : uint8_t {
  StatusChange = 0,  // the port lost, or found again: "lost", "found"
  DataSent = 1,
  DataReceived = 2,
  FramingError = 7,
  ParityError = 8,
  Overflow = 10,  // input was lost
};

enum class CaptureTrouble : uint8_t {
  None,
  CannotOpen,   // the file cannot be opened or made, or the name is too long
  NotACapture,  // the file holds something else: it is left alone
  WriteFailed,  // capturing stopped
};

// The classic pcap magic: microsecond times, written little-endian.
constexpr uint32_t kCaptureMagic = 0xA1B2C3D4u;
constexpr uint32_t kCaptureLinkType = 250;
constexpr uint32_t kCaptureFileHeaderBytes = 24;
constexpr uint32_t kCaptureRecordHeaderBytes = 16;
constexpr uint32_t kCaptureEventHeaderBytes = 12;
constexpr uint8_t kCaptureCts = 0x01;
constexpr uint8_t kCaptureRts = 0x08;

// The capture of one port: the file, and the records of the request under
// way, written when it ends.
constexpr uint32_t kCaptureBufferBytes = 4096;
constexpr uint32_t kCaptureNameSize = 260;
struct PortCapture {
  bool on;
  CaptureTrouble troubleToTell;
  bool parity;        // damaged bytes are parity errors, else framing errors
  uint8_t errorChar;  // what a damaged byte arrives as
  uint8_t lines;      // RTS and CTS as last set and seen
  uint32_t overrunsSeen;
  int64_t wallClockOffset;  // added to SysNowMicroseconds
  CaptureFile file;
  uint32_t buffered;
  uint8_t buffer[kCaptureBufferBytes];
  char fileName[kCaptureNameSize];
};

// Starts the capture of `port`, just opened, into `capture` when the
// environment asks for one; else leaves it off. `parity` is the line's
// parity code (0 none).
void CaptureStart(PortCapture* capture, PortHandle port, const char* portName, uint8_t parity,
                  uint8_t errorChar);

// Each of these does nothing for a null capture or one that is off.
void CaptureBytes(PortCapture* capture, CaptureEvent event, const void* bytes, uint32_t count, int64_t when);
// The port's device went, or came back: a status record with that word.
void CapturePortLost(PortCapture* capture, int64_t when);
void CapturePortFound(PortCapture* capture, int64_t when);
// Bytes read from the line, and the errors they and the port tell of.
void CaptureReceived(PortCapture* capture, PortHandle port, const void* bytes, uint32_t count);
void CaptureLine(PortCapture* capture, uint8_t line, bool on);
// Writes what the request recorded.
void CaptureFlush(PortCapture* capture);
// Flushes and closes the capture of a port about to close.
void CaptureStop(PortCapture* capture);

// Tells the host, once, what went wrong with the capture since it was last
// told.
void TellCaptureTrouble(PortCapture* capture);
