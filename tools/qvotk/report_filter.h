// Host reports reach standard error from inside the driver, one line each.
// A port whose modem lines fail sends the same ones for every request, and
// hundreds of them would bury everything else: each distinct line is shown
// the first time, and how often it came in all when the tool ends.
#pragma once

#include <string>

class ReportFilter {
 public:
  ReportFilter();   // from here, standard error goes through the filter
  ~ReportFilter();  // back to the terminal, after the repeat counts
  void Finish();    // the same, early; once
  ReportFilter(const ReportFilter&) = delete;
  ReportFilter& operator=(const ReportFilter&) = delete;

 private:
  struct State;
  State* state_;
};

// From here, the filter shows `driverName` in the driver's reports as
// `shownName`: a port reached through a link of the tool's own is named as
// the user typed it.
void ShowPortAs(const std::string& driverName, const std::string& shownName);
