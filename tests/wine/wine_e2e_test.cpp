// End to end on Wine: qvotk.dll loaded through Wine's loader as a host loads
// it, on a COM port (QVO_WINE_PORT) that is one end of a
// pseudo-terminal pair, against tovek-sim running natively on the other end
// with --station 12 --s-point 7 --point 9=200 --block-count 255.
#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "qvotk/host_session.h"
#include "support/temp_dir.h"

namespace {

std::string PortName() { return QVO_WINE_PORT; }

class WineEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(LoadDriverLibrary("", QVO_WINE_DRIVER_DIR, &library, &error)) << error;
    session = std::make_unique<HostSession>(library.entry);
    workingDirectory.WriteFile("QVOTK01.int", "STATION=12\n");
    LineOptions options;
    options.port = PortName();
    options.line = {9600, 8, 0, 0};
    options.timeoutUnits = 20;
    ASSERT_EQ(session->Open(options), QVO_STATUS_OK) << options.port;
  }
  void TearDown() override { session->Close(); }

  Point Named(const std::string& name) {
    Point point;
    EXPECT_EQ(session->Validate(name, &point), QVO_STATUS_OK) << name;
    return point;
  }

  TemporaryWorkingDirectory workingDirectory;
  DriverLibrary library;
  std::unique_ptr<HostSession> session;
};

TEST_F(WineEndToEnd, EveryOpcodeOnce) {
  QvoDriverInfo info{};
  EXPECT_EQ(session->Info(&info), QVO_STATUS_OK);  // 14
  EXPECT_EQ(info.channelSize, sizeof(QvoChannel));
  EXPECT_EQ(session->Flush(), QVO_STATUS_OK);               // 2
  Point s = Named("S"), nine = Named("009");                // 3
  EXPECT_EQ(session->CheckBlock("001", 5), QVO_STATUS_OK);  // 4
  uint16_t value = 0;
  EXPECT_EQ(session->Read(s, &value), QVO_STATUS_OK);  // 5
  EXPECT_EQ(value, 7);
  EXPECT_EQ(session->Read(nine, &value), QVO_STATUS_OK);
  EXPECT_EQ(value, 200);
  std::vector<uint16_t> values;
  EXPECT_EQ(session->ReadBlock(255, &values), QVO_STATUS_OK);  // 6
  std::vector<uint16_t> expected(255);
  std::iota(expected.begin(), expected.end(), 1);
  EXPECT_EQ(values, expected);
  EXPECT_EQ(session->Write(nine, 1), QVO_STATUS_OK);  // 7
  EXPECT_EQ(session->Read(nine, &value), QVO_STATUS_OK);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(session->Write(nine, 2), QVO_STATUS_OK);
  QvoRequest unsupported{nullptr, QVO_OP_UNSUPPORTED, 0, 0, nullptr};
  EXPECT_EQ(library.entry(&unsupported), QVO_STATUS_REJECTED);  // 10
  EXPECT_EQ(session->Close(), QVO_STATUS_OK);                   // 11
  EXPECT_EQ(session->Reopen(), QVO_STATUS_OK);                  // 13
  EXPECT_EQ(session->Read(s, &value), QVO_STATUS_OK);
  QvoRequest close12{const_cast<QvoChannel*>(&session->channel()), QVO_OP_CLOSE_CHANNEL_ALIAS, 0, 0, nullptr};
  EXPECT_EQ(library.entry(&close12), QVO_STATUS_OK);                                  // 12
  EXPECT_EQ(session->Reconfigure(PortName(), LineParams{19200, 8, 0, 0}), QVO_STATUS_OK);  // 15
  EXPECT_EQ(session->Read(s, &value), QVO_STATUS_OK);
  EXPECT_EQ(value, 7);
}

}  // namespace
