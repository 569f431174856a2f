// Reports that a user must see, sent to the host's error-report routine:
// the code 32, a printf format, and the format's arguments. Each report is
// described once here; each platform delivers it in its own way (on
// Windows the host support library's `err`, on Linux one line on standard
// error), and the tests link one that records them.
#pragma once

#include <cstddef>
#include <cstdint>

// The code the driver passes with every report.
constexpr int32_t kHostReportCode = 32;

// The driver's name as the host knows it, five letters and a blank: the
// first argument of every report that names a port or a file, and the name
// the driver information gives.
constexpr char kDriverName[] = "TOVEK ";

enum class HostReport : uint8_t {
  PortOpenFailed,  // arguments: the driver name, the port name
  PortOpenReason,  // the same, and why: once after PortOpenFailed
  RtsOnFailed,
  RtsOffFailed,
  PortLost,   // arguments: the driver name, the port name
  PortFound,  // arguments: the driver name, the port name
  // Arguments of these: the driver name, the capture file's name.
  CaptureCannotOpen,
  CaptureLeftAlone,  // the file holds something else than a serial capture
  CaptureStopped,    // a write failed
};

struct HostReportForm {
  const char* format;
  uint8_t textArguments;  // how many text arguments follow the format
};

constexpr HostReportForm kHostReportForms[] = {
    {"QVO%s : Fail to open %s", 2},
    {"QVO%s : %s: %s", 3},
    {" QvoTK: Fail to set RTS to on", 0},
    {" QvoTK: Fail to set RTS to off", 0},
    {"QVO%s : Lost %s", 2},
    {"QVO%s : Found %s again", 2},
    {"QVO%s : Cannot capture to %s", 2},
    {"QVO%s : No serial capture in %s, left alone", 2},
    {"QVO%s : Capture to %s stopped", 2},
};

constexpr const HostReportForm& FormOf(HostReport report) {
  return kHostReportForms[static_cast<size_t>(report)];
}

// Sends `report`; `first`, `second` and `third` are its text arguments
// where its form has them.
void ReportToHost(HostReport report, const char* first = nullptr, const char* second = nullptr,
                  const char* third = nullptr);

// The report as the host shows it, formatted into `text`.
void FormatHostReport(HostReport report, const char* first, const char* second, const char* third, char* text,
                      size_t size);
