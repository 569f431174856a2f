// The line's capture, asked for through the environment as a host's would
// be, on the simulated line: what it holds, and that it never changes a
// result.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "line_watch/capture_file.h"
#include "qvotk/qvotk.h"
#include "support/sim_line_test.h"

namespace {

class CaptureTest : public SimChannelTest {
 protected:
  void SetUp() override {
    SimChannelTest::SetUp();
    bus.Add(1).points[1] = 42;
  }
  void TearDown() override { CaptureTo(""); }
  // "": none.
  static void CaptureTo(const std::string& name) {
#if defined(_WIN32)
    _putenv_s("QVOTK_CAPTURE", name.c_str());
#else
    if (name.empty()) {
      unsetenv("QVOTK_CAPTURE");
    } else {
      setenv("QVOTK_CAPTURE", name.c_str(), 1);
    }
#endif
  }
  QvoStatus ReadPoint(uint32_t kind, uint32_t number) {
    values[1] = 0;
    return SendTransfer(&channel, QVO_OP_READ_VALUE, kind, number, 0, values);
  }
  QvoStatus Close() { return CallDriver(&channel, QVO_OP_CLOSE_CHANNEL); }

  uint16_t values[2] = {};
};

TEST_F(CaptureTest, HoldsEveryAttemptAndTheLinesAsTheyWere) {
  CaptureTo(workingDirectory.path() + "/line-%p.pcap");
  OpenAtStation("=1", 30);
  bus.scriptedFaults.assign({sim::Fault::BadChecksum});
  ASSERT_EQ(ReadPoint(QVO_POINT_NUMBERED, 1), QVO_STATUS_OK);
  device->unplugged = true;
  EXPECT_EQ(ReadPoint(QVO_POINT_S, 0), QVO_STATUS_NO_ANSWER);
  device->unplugged = false;
  line().Advance(1000000);
  ASSERT_EQ(ReadPoint(QVO_POINT_S, 0), QVO_STATUS_OK);
  ASSERT_EQ(Close(), QVO_STATUS_OK);

  std::vector<line_watch::LineRecord> records;
  std::string error;
  ASSERT_TRUE(line_watch::ReadCapture(workingDirectory.path() + "/line-COM1.pcap", &records, &error))
      << error;
  std::string sent, received, status;
  for (size_t i = 0; i < records.size(); ++i) {
    const line_watch::LineRecord& record = records[i];
    if (i > 0) {
      EXPECT_GE(record.microseconds, records[i - 1].microseconds);
    }
    if (record.event == line_watch::LineEvent::Sent) {
      sent += record.bytes;
      EXPECT_EQ(record.lines, line_watch::kRtsOn | line_watch::kCtsOn) << "RTS up and CTS seen while sending";
    } else if (record.event == line_watch::LineEvent::Received) {
      received += record.bytes;
      EXPECT_EQ(record.lines & line_watch::kRtsOn, 0) << "RTS clear while the reply comes";
    } else if (record.event == line_watch::LineEvent::StatusChange) {
      status += record.bytes + " ";
    }
  }
  const std::string readPoint = ":0609000166001080\r\n";
  EXPECT_EQ(sent, readPoint + readPoint + ":0508000168008F\r\n")
      << "both attempts, then the read after the return";
  EXPECT_NE(received.find(":080000016600102A005F\r\n"), std::string::npos) << received;
  EXPECT_EQ(status, "lost found ");
}

TEST_F(CaptureTest, ACaptureThatCannotBeWrittenIsToldOnceAndChangesNoResult) {
  controller->sPoint = 4;
  const std::string notACapture = workingDirectory.path() + "/notes.txt";
  std::ofstream(notACapture) << "the operator's notes\n";
  CaptureTo(notACapture);
  OpenAtStation("=12", 30);
  EXPECT_EQ(ReadPoint(QVO_POINT_S, 0), QVO_STATUS_OK);
  EXPECT_EQ(CountRecordedReports("QVOTOVEK  : No serial capture in " + notACapture + ", left alone"), 1u);
  std::ifstream kept(notACapture);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "the operator's notes\n");
  ASSERT_EQ(Close(), QVO_STATUS_OK);

  RecordedReports().clear();
  CaptureTo(workingDirectory.path() + "/no-such-folder/line.pcap");
  OpenAtStation("=12", 30);
  EXPECT_EQ(ReadPoint(QVO_POINT_S, 0), QVO_STATUS_OK);
  EXPECT_EQ(ReadPoint(QVO_POINT_S, 0), QVO_STATUS_OK);
  EXPECT_EQ(values[1], 4);
  EXPECT_EQ(RecordedReports().size(), 1u);
  EXPECT_EQ(CountRecordedReports("QVOTOVEK  : Cannot capture to " + workingDirectory.path() +
                                 "/no-such-folder/line.pcap"),
            1u);
  ASSERT_EQ(Close(), QVO_STATUS_OK);

  CaptureTo("");
  OpenAtStation("=12", 30);
  EXPECT_EQ(ReadPoint(QVO_POINT_S, 0), QVO_STATUS_OK);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(workingDirectory.path()), {}), 2)
      << "unasked, no file beside the notes and the station file";
}

}  // namespace
