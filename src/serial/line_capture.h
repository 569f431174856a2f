// A capture of a port's traffic, when the host's environment names a file
// (QVOTK_CAPTURE; a "%p" in it stands for the port's name, with '/', '\'
// and ':' as '_'): every frame sent, every read of the line as it came,
// line errors, and the port lost and found again. The file is a classic
// pcap file of link type 250 (serial line events): per record a 12-byte
// header (the time, big-endian seconds and microseconds; the event; the
// modem lines, CTS 0x01 and RTS 0x08; two bytes 0) and the bytes.
// Records are kept in the port's slot and written when the request ends;
// a capture that cannot be written stops, and the request goes on as if
// there were none.
#pragma once

#include <cstdint>

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

constexpr uint32_t kCaptureLinkType = 250;
constexpr uint32_t kCaptureFileHeaderBytes = 24;
constexpr uint32_t kCaptureRecordHeaderBytes = 16;
constexpr uint32_t kCaptureEventHeaderBytes = 12;
constexpr uint8_t kCaptureCts = 0x01;
constexpr uint8_t kCaptureRts = 0x08;

// Starts the capture of a port just opened, when the environment asks for
// one. `parity` is the line's parity code (0 none).
void CaptureStart(PortHandle port, const char* portName, uint8_t parity);
// The port's capture; null when it has none, which costs nothing more.
PortCapture* CaptureOf(PortHandle port);

void CaptureBytes(PortCapture* capture, CaptureEvent event, const void* bytes, uint32_t count, int64_t when);
// Bytes read from the line, and the errors they and the port tell of.
void CaptureReceived(PortCapture* capture, PortHandle port, const void* bytes, uint32_t count);
void CaptureLine(PortCapture* capture, uint8_t line, bool on);

// Writes what the request recorded.
void CaptureFlush(PortCapture* capture);
// Flushes and closes the capture of a port about to close.
void CaptureStop(PortHandle port);

// What went wrong with the port's capture and was not told yet, with the
// file's name; None once told.
CaptureTrouble CommTakeCaptureTrouble(PortHandle port, const char** fileName);
