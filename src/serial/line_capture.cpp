#include "serial/line_capture.h"

#include <cstring>

#include "platform/host/host_report.h"

namespace {

void PutLittle32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

void PutBig32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

uint32_t Little32(const uint8_t* at) {
  return uint32_t{at[0]} | uint32_t{at[1]} << 8 | uint32_t{at[2]} << 16 | uint32_t{at[3]} << 24;
}

// The file's header: the classic pcap magic written little-endian, version
// 2.4, microsecond times, no zone, snapshots up to 65535 bytes.
void FileHeader(uint8_t* header) {
  std::memset(header, 0, kCaptureFileHeaderBytes);
  PutLittle32(header, kCaptureMagic);
  header[4] = 2;
  header[6] = 4;
  PutLittle32(header + 16, 65535);
  PutLittle32(header + 20, kCaptureLinkType);
}

// The name with each "%p" given as the port's name, '/', '\' and ':' as '_'.
bool ExpandName(const char* pattern, const char* portName, char* name, uint32_t capacity) {
  uint32_t length = 0;
  for (const char* at = pattern; *at != '\0'; ++at) {
    if (at[0] == '%' && at[1] == 'p') {
      for (const char* c = portName; *c != '\0'; ++c) {
        if (length + 1 >= capacity) return false;
        name[length++] = (*c == '/' || *c == '\\' || *c == ':') ? '_' : *c;
      }
      ++at;
      continue;
    }
    if (length + 1 >= capacity) return false;
    name[length++] = *at;
  }
  name[length] = '\0';
  return true;
}

void Stop(PortCapture* capture, CaptureTrouble trouble) {
  if (capture->file != kNoCaptureFile) SysCloseCaptureFile(capture->file);
  capture->file = kNoCaptureFile;
  capture->on = false;
  capture->buffered = 0;
  capture->troubleToTell = trouble;
}

bool Append(PortCapture* capture, const void* bytes, uint32_t count) {
  if (SysAppendCapture(capture->file, bytes, count)) return true;
  Stop(capture, CaptureTrouble::WriteFailed);
  return false;
}

}  // namespace

void CaptureStart(PortCapture* capture, PortHandle port, const char* portName, uint8_t parity,
                  uint8_t errorChar) {
  char pattern[kCaptureNameSize];
  if (!SysCaptureFileName(pattern, sizeof pattern)) return;  // none asked for: nothing more
  capture->file = kNoCaptureFile;
  if (!ExpandName(pattern, portName, capture->fileName, sizeof capture->fileName)) {
    std::memcpy(capture->fileName, pattern, sizeof pattern);
    Stop(capture, CaptureTrouble::CannotOpen);
    return;
  }
  capture->file = SysOpenCaptureFile(capture->fileName);
  if (capture->file == kNoCaptureFile) {
    Stop(capture, CaptureTrouble::CannotOpen);
    return;
  }
  uint8_t start[kCaptureFileHeaderBytes];
  uint32_t length = 0;
  if (!SysReadCaptureStart(capture->file, start, sizeof start, &length)) {
    Stop(capture, CaptureTrouble::CannotOpen);
    return;
  }
  // Appended to only when it is a capture of this kind, written this way.
  if (length != 0 && (length < kCaptureFileHeaderBytes || Little32(start) != kCaptureMagic ||
                      Little32(start + 20) != kCaptureLinkType)) {
    Stop(capture, CaptureTrouble::NotACapture);
    return;
  }
  capture->on = true;
  if (length == 0) {
    uint8_t header[kCaptureFileHeaderBytes];
    FileHeader(header);
    if (!Append(capture, header, sizeof header)) return;
  }
  capture->parity = parity != 0;
  capture->errorChar = errorChar;
  capture->lines = 0;
  capture->buffered = 0;
  capture->overrunsSeen = SysInputOverruns(port);
  capture->wallClockOffset = SysWallClockMicroseconds() - SysNowMicroseconds();
}

void CaptureBytes(PortCapture* capture, CaptureEvent event, const void* bytes, uint32_t count, int64_t when) {
  if (capture == nullptr || !capture->on) return;
  const uint32_t headers = kCaptureRecordHeaderBytes + kCaptureEventHeaderBytes;
  if (capture->buffered + headers + count > kCaptureBufferBytes) CaptureFlush(capture);
  if (!capture->on) return;
  const int64_t wall = when + capture->wallClockOffset;
  const uint32_t seconds = static_cast<uint32_t>(wall / 1000000);
  const uint32_t micros = static_cast<uint32_t>(wall % 1000000);
  uint8_t header[kCaptureRecordHeaderBytes + kCaptureEventHeaderBytes] = {};
  PutLittle32(header, seconds);
  PutLittle32(header + 4, micros);
  PutLittle32(header + 8, kCaptureEventHeaderBytes + count);
  PutLittle32(header + 12, kCaptureEventHeaderBytes + count);
  PutBig32(header + 16, seconds);
  PutBig32(header + 20, micros);
  header[24] = static_cast<uint8_t>(event);
  header[25] = capture->lines;
  if (capture->buffered + headers + count > kCaptureBufferBytes) {
    // Larger than the buffer: straight to the file.
    if (Append(capture, header, headers)) Append(capture, bytes, count);
    return;
  }
  std::memcpy(capture->buffer + capture->buffered, header, headers);
  if (count != 0) std::memcpy(capture->buffer + capture->buffered + headers, bytes, count);
  capture->buffered += headers + count;
}

void CapturePortLost(PortCapture* capture, int64_t when) {
  constexpr char kLost[] = "lost";
  CaptureBytes(capture, CaptureEvent::StatusChange, kLost, sizeof kLost - 1, when);
}

void CapturePortFound(PortCapture* capture, int64_t when) {
  constexpr char kFound[] = "found";
  CaptureBytes(capture, CaptureEvent::StatusChange, kFound, sizeof kFound - 1, when);
}

void CaptureReceived(PortCapture* capture, PortHandle port, const void* bytes, uint32_t count) {
  if (capture == nullptr || !capture->on) return;
  const int64_t now = SysNowMicroseconds();
  if (count != 0) CaptureBytes(capture, CaptureEvent::DataReceived, bytes, count, now);
  // A damaged byte comes as the error character, whichever error it had.
  if (count != 0 && std::memchr(bytes, capture->errorChar, count) != nullptr) {
    CaptureBytes(capture, capture->parity ? CaptureEvent::ParityError : CaptureEvent::FramingError, nullptr,
                 0, now);
  }
  const uint32_t overruns = SysInputOverruns(port);
  if (overruns != capture->overrunsSeen) {
    capture->overrunsSeen = overruns;
    CaptureBytes(capture, CaptureEvent::Overflow, nullptr, 0, now);
  }
}

void CaptureLine(PortCapture* capture, uint8_t line, bool on) {
  if (capture == nullptr || !capture->on) return;
  capture->lines = static_cast<uint8_t>(on ? capture->lines | line : capture->lines & ~line);
}

void CaptureFlush(PortCapture* capture) {
  if (capture == nullptr || !capture->on || capture->buffered == 0) return;
  const uint32_t count = capture->buffered;
  capture->buffered = 0;
  Append(capture, capture->buffer, count);
}

void CaptureStop(PortCapture* capture) {
  if (capture == nullptr || !capture->on) return;
  CaptureFlush(capture);
  if (capture->on) Stop(capture, CaptureTrouble::None);
}

void TellCaptureTrouble(PortCapture* capture) {
  const CaptureTrouble trouble = capture->troubleToTell;
  capture->troubleToTell = CaptureTrouble::None;
  switch (trouble) {
    case CaptureTrouble::None: return;
    case CaptureTrouble::CannotOpen:
      ReportToHost(HostReport::CaptureCannotOpen, kDriverName, capture->fileName);
      return;
    case CaptureTrouble::NotACapture:
      ReportToHost(HostReport::CaptureLeftAlone, kDriverName, capture->fileName);
      return;
    case CaptureTrouble::WriteFailed:
      ReportToHost(HostReport::CaptureStopped, kDriverName, capture->fileName);
      return;
  }
}
