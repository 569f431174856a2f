// Reports the driver sent to the host, as the tests read them back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct RecordedReport {
  int32_t code;
  std::string text;    // as the host shows it
  std::string format;  // as the host's err receives it
};

std::vector<RecordedReport>& RecordedReports();

// How many of the recorded reports read `text`.
size_t CountRecordedReports(const std::string& text);

// The texts of the two RTS failures a line without modem lines gives.
constexpr char kRtsOnFailed[] = " QvoTK: Fail to set RTS to on";
constexpr char kRtsOffFailed[] = " QvoTK: Fail to set RTS to off";
