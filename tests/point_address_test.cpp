// Point names through opcodes 3 and 4, as the host sends them.
#include <gtest/gtest.h>

#include <string>

#include "qvotk/qvotk.h"

namespace {

constexpr uint32_t kUntouchedKind = 0xDEAD;
constexpr int32_t kUntouchedNumber = -77;

struct Outcome {
  QvoStatus status;
  QvoPointAddress block;
};

Outcome Ask(uint32_t opcode, const char* name, int32_t valueCount = 0) {
  QvoPointAddress block{};
  block.name = name;
  block.valueCount = valueCount;
  block.fifthField = 111;
  block.eighthField = 111;
  block.ninthField = 111;
  block.pointKind = kUntouchedKind;
  block.pointNumber = kUntouchedNumber;
  QvoRequest request{nullptr, opcode, 0, 0, &block};
  const QvoStatus status = QvoMain(&request);
  return {status, block};
}

struct NameCase {
  const char* name;
  QvoStatus status;
  uint32_t kind;
  int32_t number;
};

TEST(ParsePointAddress, JudgesNamesByTheirFirstEightCharacters) {
  const NameCase cases[] = {
      {"S", 0, 0, kUntouchedNumber},
      {"s", 0, 0, kUntouchedNumber},
      {"S ", 0, 0, kUntouchedNumber},
      {"s       ", 0, 0, kUntouchedNumber},
      {"S       trailing text", 0, 0, kUntouchedNumber},
      {"000", 0, 1, 0},
      {"007", 0, 1, 7},
      {"999", 0, 1, 999},
      {"123     ", 0, 1, 123},
      {"001     more text", 0, 1, 1},
      {"", 1, kUntouchedKind, kUntouchedNumber},
      {"12", 1, kUntouchedKind, kUntouchedNumber},
      {"1234", 1, kUntouchedKind, kUntouchedNumber},
      {" 12", 1, kUntouchedKind, kUntouchedNumber},
      {"12 ", 1, kUntouchedKind, kUntouchedNumber},
      {"1 2", 1, kUntouchedKind, kUntouchedNumber},
      {"S1", 1, kUntouchedKind, kUntouchedNumber},
      {"SS", 1, kUntouchedKind, kUntouchedNumber},
      {" S", 1, kUntouchedKind, kUntouchedNumber},
      {"12a", 1, kUntouchedKind, kUntouchedNumber},
      {"s\t", 1, kUntouchedKind, kUntouchedNumber},
      {"\xB3\xB3\xB3", 1, kUntouchedKind, kUntouchedNumber},  // bytes above 127 stay as they are
      {nullptr, 1, kUntouchedKind, kUntouchedNumber},
  };
  for (const auto& c : cases) {
    const std::string label = c.name ? std::string("\"") + c.name + "\"" : "null name";
    const Outcome out = Ask(3, c.name);
    EXPECT_EQ(out.status, c.status) << label;
    EXPECT_EQ(out.block.pointKind, c.kind) << label;
    EXPECT_EQ(out.block.pointNumber, c.number) << label;
    // Written on every call, whatever the outcome.
    EXPECT_EQ(out.block.fifthField, 0u) << label;
    EXPECT_EQ(out.block.eighthField, 255u) << label;
    EXPECT_EQ(out.block.ninthField, 16u) << label;
  }
}

TEST(CheckBlockAddress, AcceptsOnlyPointOneWithACountAByteCanAnnounce) {
  struct BlockCase {
    const char* name;
    int32_t count;
    QvoStatus status;
  };
  const BlockCase cases[] = {
      {"001", 0, 0}, {"001", 255, 0}, {"001     ", 16, 0}, {"001", 256, 1}, {"001", 257, 1}, {"001", -1, 1},
      {"S", 0, 1},   {"002", 1, 1},   {"1", 1, 1},         {"000", 1, 1},   {nullptr, 1, 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Ask(4, c.name, c.count).status, c.status)
        << (c.name ? c.name : "null name") << " with count " << c.count;
  }
}

TEST(CheckBlockAddress, StillReportsKindAndConstantsWhenRefusingTheSPoint) {
  const Outcome out = Ask(4, "S", 1);
  EXPECT_EQ(out.status, 1);
  EXPECT_EQ(out.block.pointKind, 0u);
  EXPECT_EQ(out.block.pointNumber, kUntouchedNumber);
  EXPECT_EQ(out.block.fifthField, 0u);
  EXPECT_EQ(out.block.eighthField, 255u);
  EXPECT_EQ(out.block.ninthField, 16u);
}

TEST(PointAddress, NullParameterBlockIsRefused) {
  QvoRequest request{nullptr, QVO_OP_VALIDATE_POINT, 0, 0, nullptr};
  EXPECT_EQ(QvoMain(&request), 1);
  request.opcode = QVO_OP_CHECK_BLOCK_POINT;
  EXPECT_EQ(QvoMain(&request), 1);
}

}  // namespace
