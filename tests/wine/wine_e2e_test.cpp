// End to end on Wine: qvotk.dll loaded through Wine's loader as a host loads
// it, on a COM port (QVO_WINE_PORT) that is one end of a
// pseudo-terminal pair, against tovek-sim running natively on the other end
// with --station 12 --s-point 7 --point 9=200 --block-count 255.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "qvotk_host/host_channel.h"
#include "support/every_opcode.h"
#include "support/requests.h"
#include "support/temp_dir.h"

namespace {

std::string PortName() { return QVO_WINE_PORT; }

class WineEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(LoadDriverLibrary("", QVO_WINE_DRIVER_DIR, &library, &error)) << error;
    session = std::make_unique<HostChannel>(library.entry);
    workingDirectory.WriteFile("QVOTK01.int", "STATION=12\n");
    LineOptions options;
    options.port = PortName();
    options.line = kTestLine;
    options.timeoutUnits = 20;
    ASSERT_EQ(session->Open(options), QVO_STATUS_OK) << options.port;
  }
  void TearDown() override { session->Close(); }

  TemporaryWorkingDirectory workingDirectory;
  DriverLibrary library;
  std::unique_ptr<HostChannel> session;
};

TEST_F(WineEndToEnd, EveryOpcodeOnceWithABlockOf255Values) {
  ExpectEveryOpcodeOnce(*session, library.entry, {PortName(), 255, false});
}

}  // namespace
