// Every opcode once through the driver library as a host loads it, the same
// on every platform it runs on. The session is open on a line whose
// controller holds S = 7, point 009 = 200 and a block of 1, 2, ... `blockCount`;
// it ends closed.
#pragma once

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

#include "qvotk_host/host_channel.h"

struct OpcodeRunLine {
  std::string port;
  int32_t blockCount;
  // Windows and POSIX refuse a second open of a held port; Wine does not.
  bool heldPortRefusesASecondOpen;
};

inline void ExpectEveryOpcodeOnce(HostChannel& session, QvoMainFunction entry, const OpcodeRunLine& line) {
  auto named = [&](const std::string& name) {
    Point point;
    EXPECT_EQ(session.Validate(name, &point), QVO_STATUS_OK) << name;
    return point;
  };
  QvoDriverInfo info{};
  EXPECT_EQ(session.Info(&info), QVO_STATUS_OK);  // 14
  EXPECT_EQ(info.channelSize, 688u);
  EXPECT_EQ(session.Flush(), QVO_STATUS_OK);               // 2
  const Point s = named("S"), nine = named("009");         // 3
  EXPECT_EQ(session.CheckBlock("001", 5), QVO_STATUS_OK);  // 4
  uint16_t value = 0;
  EXPECT_EQ(session.Read(s, &value), QVO_STATUS_OK);  // 5
  EXPECT_EQ(value, 7);
  EXPECT_EQ(session.Read(nine, &value), QVO_STATUS_OK);
  EXPECT_EQ(value, 200);
  std::vector<uint16_t> values;
  EXPECT_EQ(session.ReadBlock(line.blockCount, &values), QVO_STATUS_OK);  // 6
  std::vector<uint16_t> expected(static_cast<size_t>(line.blockCount));
  std::iota(expected.begin(), expected.end(), 1);
  EXPECT_EQ(values, expected);
  EXPECT_EQ(session.Write(nine, 1), QVO_STATUS_OK);  // 7
  EXPECT_EQ(session.Read(nine, &value), QVO_STATUS_OK);
  EXPECT_EQ(value, 1);
  QvoRequest unsupported{nullptr, QVO_OP_UNSUPPORTED, 0, 0, nullptr};
  EXPECT_EQ(entry(&unsupported), QVO_STATUS_REJECTED);  // 10
  EXPECT_EQ(session.Close(), QVO_STATUS_OK);            // 11
  EXPECT_EQ(session.Reopen(), QVO_STATUS_OK);           // 13
  EXPECT_EQ(session.Read(s, &value), QVO_STATUS_OK);
  if (line.heldPortRefusesASecondOpen) {
    EXPECT_EQ(session.Reconfigure(line.port, LineParams{0, 0, 0, 0}), QVO_STATUS_NO_ANSWER)
        << "the same port, still held: the second open fails";
  }
  QvoRequest close12{const_cast<QvoChannel*>(&session.channel()), QVO_OP_CLOSE_CHANNEL_ALIAS, 0, 0, nullptr};
  EXPECT_EQ(entry(&close12), QVO_STATUS_OK);                                             // 12
  EXPECT_EQ(session.Reconfigure(line.port, LineParams{19200, 8, 0, 0}), QVO_STATUS_OK);  // 15
  EXPECT_EQ(session.Read(s, &value), QVO_STATUS_OK);
  EXPECT_EQ(value, 7);
  EXPECT_EQ(session.Close(), QVO_STATUS_OK);
}
