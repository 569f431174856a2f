// The host's error reports through Wine's loader: in a process that has
// loaded DAVRIN.dll, its exported err receives each report with the
// report's own format; in one without it, the text goes to
// OutputDebugStringA (the ctest entry reads it from Wine's debug channel).
#include <gtest/gtest.h>
#include <windows.h>

#include <sstream>
#include <string>
#include <vector>

#include "qvotk/qvotk.h"
#include "support/requests.h"
#include "support/temp_dir.h"

namespace {

// A port Wine has no device for: the open fails and says so to the host,
// and why.
constexpr char kMissingPort[] = "COM42";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(HostReportOnWine, DavrinErrReceivesTheOpenFailureAndTheRtsReports) {
  HMODULE davrin = LoadLibraryA("DAVRIN.dll");
  ASSERT_NE(davrin, nullptr);
  using Received = const char* (*)();
  auto received =
      reinterpret_cast<Received>(reinterpret_cast<void (*)()>(GetProcAddress(davrin, "DavrinReceived")));
  ASSERT_NE(received, nullptr);

  TemporaryWorkingDirectory workingDirectory;
  QvoChannel channel{};
  EXPECT_EQ(OpenChannelOn(&channel, kMissingPort, 1, 1), QVO_STATUS_NO_ANSWER);
  const std::vector<std::string> open = Lines(received());
  ASSERT_EQ(open.size(), 2u);
  EXPECT_EQ(open[0], "32|QVO%s : Fail to open %s|QVOTOVEK  : Fail to open COM42");
  // Then why, as Wine's CreateFileA gave it.
  EXPECT_EQ(open[1].rfind("32|QVO%s : %s: %s|QVOTOVEK  : COM42: ", 0), 0u) << open[1];

  // The null device has no modem lines: each attempt of a request reports
  // RTS on once and RTS off twice.
  ASSERT_EQ(OpenChannelOn(&channel, "NUL", 1, 1), QVO_STATUS_OK);
  uint16_t values[2] = {};
  EXPECT_EQ(SendTransfer(&channel, QVO_OP_READ_VALUE, QVO_POINT_S, 0, 0, values), QVO_STATUS_NO_ANSWER);
  size_t on = 0, off = 0;
  for (const auto& line : Lines(received())) {
    on += line == "32| QvoTK: Fail to set RTS to on| QvoTK: Fail to set RTS to on";
    off += line == "32| QvoTK: Fail to set RTS to off| QvoTK: Fail to set RTS to off";
  }
  EXPECT_EQ(on, 10u);
  EXPECT_EQ(off, 20u);
  QvoRequest close{&channel, QVO_OP_CLOSE_CHANNEL, 0, 0, nullptr};
  EXPECT_EQ(QvoMain(&close), QVO_STATUS_OK);
}

TEST(HostReportOnWine, WithoutDavrinTheOpenFailureGoesToTheDebugger) {
  ASSERT_EQ(GetModuleHandleA("DAVRIN"), nullptr);
  TemporaryWorkingDirectory workingDirectory;
  QvoChannel channel{};
  EXPECT_EQ(OpenChannelOn(&channel, kMissingPort, 1, 1), QVO_STATUS_NO_ANSWER);
}

}  // namespace
