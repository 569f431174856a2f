// Value requests through QvoMain on the simulated line, against the
// simulated controller: frames byte for byte, the retry budget counted at
// the controller, and what the host's arrays hold afterwards.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "qvotk/qvotk.h"
#include "qvotk_host/host_facts.h"
#include "support/sim_line_test.h"

namespace {

using sim::Fault;
using sim::Service;
using sim::SimLine;

constexpr uint16_t kUntouched = 0xBEEF;

class ValueRequestTest : public SimChannelTest {
 protected:
  void SetUp() override {
    SimChannelTest::SetUp();
    OpenAtStation("=12");
  }

  QvoStatus Transfer(uint32_t opcode, uint32_t kind, uint32_t number, int32_t count = 0) {
    return SendTransfer(&channel, opcode, kind, number, count, values);
  }
  QvoStatus Read(uint32_t kind, uint32_t number = 0) { return Transfer(QVO_OP_READ_VALUE, kind, number); }
  QvoStatus Write(uint32_t kind, uint32_t number, uint16_t value) {
    values[1] = value;
    return Transfer(QVO_OP_WRITE_VALUE, kind, number);
  }
  QvoStatus Block(int32_t count, uint32_t kind = 1, uint32_t number = 1) {
    return Transfer(QVO_OP_READ_BLOCK, kind, number, count);
  }

  // Answers every request with `reply`, in place of the controller.
  void ReplyAlways(const std::string& reply) {
    device->responder = [reply](sim::SimDevice& d, std::string_view) { d.Deliver(reply); };
  }
  size_t Requests() const { return device->writes.size(); }

  uint16_t values[300];

 public:
  ValueRequestTest() {
    for (auto& v : values) v = kUntouched;
  }
};

TEST_F(ValueRequestTest, SPointReadSendsTheWorkedFrameAndTakesTheValueUnverified) {
  ReplyAlways(
      ":070000126800"
      "3F"
      "00"
      "FF\r\n");  // checksum digits not verified
  ASSERT_EQ(Read(0), QVO_STATUS_OK);
  ASSERT_EQ(device->writes.size(), 1u);
  EXPECT_EQ(device->writes[0], ":0508001268007E\r\n");
  EXPECT_EQ(line().Calls()[line().Calls().size() - 2].argument, 21u) << "reads 21 characters";
  EXPECT_EQ(values[1], 63);
  EXPECT_EQ(values[0], kUntouched);
}

TEST_F(ValueRequestTest, NumberedReadVerifiesTheChecksum) {
  OpenAtStation("=1");
  ReplyAlways(":080000000000003F00C1\r\n");
  ASSERT_EQ(Read(1, 1), QVO_STATUS_OK);
  EXPECT_EQ(device->writes[0], ":0609000166001080\r\n");
  EXPECT_EQ(values[1], 63);
  EXPECT_EQ(channel.rxChecksum, 0xC1);

  values[1] = kUntouched;
  device->writes.clear();
  ReplyAlways(":080000000000003F00C2\r\n");
  EXPECT_EQ(Read(1, 1), QVO_STATUS_REJECTED);
  EXPECT_EQ(Requests(), 10u);
  EXPECT_EQ(values[1], kUntouched) << "a failed read leaves the value";
}

TEST_F(ValueRequestTest, WritesSendTheWorkedFrames) {
  EXPECT_EQ(Write(1, 5, 1), QVO_STATUS_OK);
  EXPECT_EQ(Write(1, 5, 2), QVO_STATUS_OK);
  EXPECT_EQ(Write(0, 0, 3), QVO_STATUS_OK);
  ASSERT_EQ(device->writes.size(), 3u);
  EXPECT_EQ(device->writes[0], ":0609001271005024\r\n");
  EXPECT_EQ(device->writes[1].substr(0, 11), ":0609001272");
  EXPECT_EQ(device->writes[2], ":0405001230B9\r\n");
  EXPECT_EQ(controller->points[5], 2);
  EXPECT_EQ(controller->sPoint, 3);
  EXPECT_EQ(values[0], kUntouched);
}

TEST_F(ValueRequestTest, RefusedValuesSendNothing) {
  EXPECT_EQ(Write(1, 5, 0), QVO_STATUS_REJECTED);
  EXPECT_EQ(Write(1, 5, 3), QVO_STATUS_REJECTED);
  EXPECT_EQ(Write(0, 0, 10), QVO_STATUS_REJECTED) << "25 would be written as 2";
  EXPECT_EQ(Write(0, 0, 25), QVO_STATUS_REJECTED);
  EXPECT_EQ(Write(1, 1000, 1), QVO_STATUS_REJECTED) << "1000 would be sent as point 100";
  EXPECT_EQ(Read(1, 1000), QVO_STATUS_REJECTED);
  EXPECT_EQ(Read(2), QVO_STATUS_REJECTED);
  EXPECT_EQ(Write(2, 1, 1), QVO_STATUS_REJECTED);
  EXPECT_EQ(Requests(), 0u);
  EXPECT_EQ(line().CountCalls(Service::Read), 0u);
}

TEST_F(ValueRequestTest, UnaddressableStationSendsNothing) {
  OpenAtStation("=12345");
  EXPECT_EQ(Read(0), QVO_STATUS_REJECTED);
  EXPECT_EQ(Read(1, 1), QVO_STATUS_REJECTED);
  EXPECT_EQ(Write(0, 0, 1), QVO_STATUS_REJECTED);
  EXPECT_EQ(Write(1, 1, 1), QVO_STATUS_REJECTED);
  EXPECT_EQ(Block(3), QVO_STATUS_REJECTED);
  EXPECT_EQ(Requests(), 0u);
  OpenAtStation("=12");
  EXPECT_EQ(Read(0), QVO_STATUS_OK) << "a valid file makes the channel usable again";
}

TEST_F(ValueRequestTest, EveryFailureIsRetriedToTheBudget) {
  bus.scriptedFaults.assign(10, Fault::StatusError);
  EXPECT_EQ(Read(0), QVO_STATUS_REJECTED);
  EXPECT_EQ(Requests(), 10u);

  device->writes.clear();
  const uint64_t start = line().NowMilliseconds();
  bus.scriptedFaults.assign(10, Fault::NoReply);
  EXPECT_EQ(Read(1, 7), QVO_STATUS_NO_ANSWER);
  EXPECT_EQ(Requests(), 10u);
  EXPECT_EQ(line().NowMilliseconds() - start, (10u + 3) * 250)
      << "ten full read time-outs, then three of silence waiting for the unanswered frames";

  device->writes.clear();
  controller->points[7] = 99;
  bus.scriptedFaults.assign({Fault::NoReply, Fault::BadChecksum});
  EXPECT_EQ(Read(1, 7), QVO_STATUS_OK);
  EXPECT_EQ(Requests(), 3u) << "success at the third attempt";
  EXPECT_EQ(values[1], 99);

  device->writes.clear();
  bus.scriptedFaults.assign(10, Fault::ShortReply);
  EXPECT_EQ(Write(1, 7, 1), QVO_STATUS_NO_ANSWER);
  EXPECT_EQ(Requests(), 10u);
}

TEST_F(ValueRequestTest, ControllersOnOneLineAnswerOnlyTheirStation) {
  controller->points[3] = 12;
  bus.Add(13).points[3] = 13;
  ASSERT_EQ(Read(1, 3), QVO_STATUS_OK);
  EXPECT_EQ(values[1], 12);
  OpenAtStation("=13");
  ASSERT_EQ(Read(1, 3), QVO_STATUS_OK);
  EXPECT_EQ(values[1], 13);
  OpenAtStation("=14");
  EXPECT_EQ(Read(1, 3), QVO_STATUS_NO_ANSWER) << "nobody at station 14";
}

TEST_F(ValueRequestTest, BlockReadStoresTheCountAskedForAndNoMore) {
  ReplyAlways(":0301020AF3\r\n");
  ASSERT_EQ(Block(3), QVO_STATUS_OK);
  EXPECT_EQ(device->writes[0], ":040600126682\r\n");
  EXPECT_EQ(values[0], 1);
  EXPECT_EQ(values[1], 2);
  EXPECT_EQ(values[2], 10);
  EXPECT_EQ(values[3], kUntouched);

  values[0] = kUntouched;
  ReplyAlways(":0301020af3\r\n");
  ASSERT_EQ(Block(3), QVO_STATUS_OK) << "lower-case hex digits";
  EXPECT_EQ(values[2], 10);

  values[0] = kUntouched;
  ReplyAlways(":0301020AF4\r\n");
  EXPECT_EQ(Block(3), QVO_STATUS_REJECTED);
  EXPECT_EQ(values[0], kUntouched) << "nothing stored before the checksum passed";

  ReplyAlways(":0000\r\n");
  EXPECT_EQ(Block(0), QVO_STATUS_OK);
  ReplyAlways(":0100FF\r\n");
  EXPECT_EQ(Block(0), QVO_STATUS_NO_ANSWER);
}

TEST_F(ValueRequestTest, BlockWithAnotherCountReadsTheRestAndFails) {
  ReplyAlways(":04010203040A\r\n");  // 4 values announced, 3 asked for
  device->writes.clear();
  EXPECT_EQ(Block(3), QVO_STATUS_NO_ANSWER);
  EXPECT_EQ(Requests(), 10u);
  EXPECT_EQ(values[0], kUntouched);
  // Each attempt: the 3-character head, then the 12 characters announced.
  size_t reads = 0;
  for (const auto& call : line().Calls()) {
    if (call.service == Service::Read && call.argument == 12) ++reads;
  }
  EXPECT_EQ(reads, 10u);
}

TEST_F(ValueRequestTest, FullBlockOf255ValuesInTwoReads) {
  controller->block.resize(255);
  for (size_t i = 0; i < 255; ++i) controller->block[i] = static_cast<uint8_t>(255 - i);
  ASSERT_EQ(Block(255), QVO_STATUS_OK);
  for (size_t i = 0; i < 255; ++i) ASSERT_EQ(values[i], 255 - i) << i;
  EXPECT_EQ(values[255], kUntouched);
  std::vector<uint32_t> reads;
  for (const auto& call : line().Calls()) {
    if (call.service == Service::Read && call.device == "COM1") reads.push_back(call.argument);
  }
  EXPECT_EQ(reads, (std::vector<uint32_t>{3, 514}));
}

TEST_F(ValueRequestTest, BlockHeadWithoutItsRestFailsAfterTheTimeout) {
  ReplyAlways(":03");
  const uint64_t start = line().NowMilliseconds();
  EXPECT_EQ(Block(3), QVO_STATUS_NO_ANSWER);
  EXPECT_EQ(line().NowMilliseconds() - start, (10u + 3) * 250);
}

TEST_F(ValueRequestTest, BlockRequestsOutsideTheRulesSendNothing) {
  EXPECT_EQ(Block(256), QVO_STATUS_REJECTED);
  EXPECT_EQ(Block(257), QVO_STATUS_REJECTED);
  EXPECT_EQ(Block(-1), QVO_STATUS_REJECTED);
  EXPECT_EQ(Block(3, 0, 1), QVO_STATUS_REJECTED);
  EXPECT_EQ(Block(3, 1, 2), QVO_STATUS_REJECTED);
  EXPECT_EQ(Block(3, 1, 0x10001), QVO_STATUS_REJECTED) << "the whole word must be 1";
  EXPECT_EQ(Requests(), 0u);
}

TEST_F(ValueRequestTest, SuccessCostsExactlyTheLineTime) {
  device->microsecondsPerCharacter = 1042;  // 10 bits at 9600 baud
  controller->sPoint = 4;
  controller->points[1] = 7;
  controller->block.assign(255, 9);
  struct Case {
    const char* what;
    std::function<QvoStatus()> request;
    qvotk_host::FrameLengths frames;
  };
  const Case cases[] = {
      {"S read", [&] { return Read(0); }, qvotk_host::ValueFrames(true, false)},
      {"numbered read", [&] { return Read(1, 1); }, qvotk_host::ValueFrames(false, false)},
      {"numbered write", [&] { return Write(1, 1, 2); }, qvotk_host::ValueFrames(false, true)},
      {"block of 255", [&] { return Block(255); }, qvotk_host::BlockFrames(255)},
  };
  for (const auto& c : cases) {
    line().ClearCalls();
    const uint64_t start = line().NowMicroseconds();
    ASSERT_EQ(c.request(), QVO_STATUS_OK) << c.what;
    EXPECT_EQ(line().NowMicroseconds() - start, c.frames.Both() * 1042u) << c.what;
    EXPECT_EQ(line().CountCalls(Service::Sleep), 0u) << c.what;
    // A framed reply on time costs no read beyond its own characters.
    uint32_t read = 0;
    for (const auto& call : line().Calls()) read += call.service == Service::Read ? call.result : 0;
    EXPECT_EQ(read, c.frames.reply) << c.what;
    // Only a reply longer on the wire than the read time-out needs the
    // attempt's deadline, and asks the port for its time-out.
    EXPECT_EQ(line().CountCalls(Service::ReadTimeouts), c.frames.reply * 1042u > 250000 ? 1u : 0u) << c.what;
  }
}

// Replies for the tests below, framed or not, with the body bytes of a
// controller's replies to station 12; "VV" is the value, "CC" the checksum.
std::string SReply(const std::string& value) { return ":070000126800" + value + "0000\r\n"; }

TEST_F(ValueRequestTest, OnlyFramedRepliesAreTaken) {
  struct Case {
    const char* what;
    std::string reply;
    std::function<QvoStatus()> request;
  };
  const Case cases[] = {
      {"S read ending CR CR", ":07000012680017000\r\r", [&] { return Read(0); }},
      {"S read one character short of CR LF", ":0700001268001700\r\n?", [&] { return Read(0); }},
      {"numbered read ending LF CR", ":080000000000003F00C1\n\r", [&] { return Read(1, 1); }},
      {"S write ending in a digit", ":0400001230BE\r0", [&] { return Write(0, 0, 3); }},
      {"numbered write ending in blanks", ":060000127100500  ", [&] { return Write(1, 5, 1); }},
      {"block whose rest ends CR CR", ":0301020AF3\r\r", [&] { return Block(3); }},
  };
  for (const auto& c : cases) {
    ReplyAlways(c.reply);
    device->writes.clear();
    EXPECT_EQ(c.request(), QVO_STATUS_NO_ANSWER) << c.what;
    EXPECT_EQ(Requests(), 10u) << c.what << ": retried like any failure";
    EXPECT_EQ(values[0], kUntouched) << c.what;
  }
  ReplyAlways(SReply("17"));
  EXPECT_EQ(Read(0), QVO_STATUS_OK) << "the count byte is not looked at";
  EXPECT_EQ(values[1], 0x17);
}

TEST_F(ValueRequestTest, NoiseAheadOfAReplyIsSkippedInTheSameAttempt) {
  device->microsecondsPerCharacter = 1042;
  const std::string noise("\x00\x7F#junk\r\n\xFF", 10);  // no ":" in it
  struct Case {
    const char* what;
    std::function<QvoStatus()> request;
  };
  controller->sPoint = 6;
  controller->points[9] = 200;
  controller->block = {1, 2, 3};
  const Case cases[] = {
      {"S read", [&] { return Read(0); }},         {"numbered read", [&] { return Read(1, 9); }},
      {"S write", [&] { return Write(0, 0, 5); }}, {"numbered write", [&] { return Write(1, 9, 2); }},
      {"block", [&] { return Block(3); }},
  };
  for (size_t junk : {size_t{1}, size_t{10}, size_t{50}, size_t{590}}) {
    device->responder = [&, junk](sim::SimDevice& d, std::string_view bytes) {
      std::string ahead;
      while (ahead.size() < junk) ahead += noise;
      ahead.resize(junk);
      d.Deliver(ahead);
      for (const auto& exchange : bus.Feed(bytes)) d.Deliver(exchange.reply);
    };
    for (const auto& c : cases) {
      device->writes.clear();
      EXPECT_EQ(c.request(), QVO_STATUS_OK) << c.what << " after " << junk << " bytes of noise";
      EXPECT_EQ(Requests(), 1u) << c.what << " after " << junk << " bytes of noise";
    }
  }
  EXPECT_EQ(controller->sPoint, 5);
  EXPECT_EQ(controller->points[9], 2);

  // An attempt skips at most 600 bytes looking for a ":". On an unpaced
  // line every attempt meets the same 700 and the request fails.
  device->microsecondsPerCharacter = 0;
  ReplyAlways(std::string(700, '#') + SReply("17"));
  device->writes.clear();
  EXPECT_EQ(Read(0), QVO_STATUS_NO_ANSWER);
  EXPECT_EQ(Requests(), 10u);
}

// A stray ":" just before a reply that then loses a character: framed from
// the first ":", the reply's own "0" would stand where the status
// character does, and a refusal would read as success. No reply holds a
// second ":": the frame begins at the last.
TEST_F(ValueRequestTest, AReplyIsFramedFromItsLastStartCharacter) {
  struct Case {
    const char* what;
    size_t replyLength;
    std::function<QvoStatus()> request;
  };
  const Case cases[] = {
      {"S write", 15, [&] { return Write(0, 0, 3); }},
      {"numbered write", 19, [&] { return Write(1, 9, 2); }},
      {"S read", 21, [&] { return Read(0); }},
  };
  size_t lost = 0;  // the reply's character lost on the wire; 0: none
  device->responder = [&](sim::SimDevice& d, std::string_view frame) {
    sim::DecodedRequest request;
    ASSERT_TRUE(sim::DecodeRequest(frame, &request));
    std::string reply = controller->Answer(request, Fault::StatusError);
    if (lost != 0) reply.erase(lost, 1);
    d.Deliver(":" + reply);
  };
  for (const Case& c : cases) {
    for (lost = 0; lost < c.replyLength - 2; ++lost) {
      EXPECT_NE(c.request(), QVO_STATUS_OK) << c.what << " refused, character " << lost << " lost";
    }
  }
  EXPECT_EQ(controller->sPoint, 0) << "no write was carried out";
  device->responder = [&](sim::SimDevice& d, std::string_view frame) {
    for (const auto& exchange : bus.Feed(frame)) d.Deliver(":" + exchange.reply);
  };
  controller->sPoint = 6;
  device->writes.clear();
  ASSERT_EQ(Read(0), QVO_STATUS_OK);
  EXPECT_EQ(values[1], 6);
  EXPECT_EQ(Requests(), 1u) << "the stray start character costs nothing";
}

// Between ":" and CR LF a controller sends hexadecimal digits only, of
// either case. A stray byte inside a reply whose checksum is not verified,
// and one of its checksum characters lost, keeps its length and framing
// and shifts its value: the stray character gives it away.
TEST_F(ValueRequestTest, AReplyHoldingAnyOtherCharacterIsRefused) {
  for (const std::string& stray :
       {std::string(1, '\0'), std::string("\xFF"), std::string("G"), std::string(" "), std::string("\xFC")}) {
    for (size_t at : {size_t{1}, size_t{5}, size_t{12}}) {
      std::string reply = SReply("17");
      reply.erase(17, 1);
      reply.insert(at, stray);
      ReplyAlways(reply);
      device->writes.clear();
      EXPECT_EQ(Read(0), QVO_STATUS_REJECTED) << "stray " << int(stray[0]) << " at " << at;
      EXPECT_EQ(Requests(), 10u);
      EXPECT_EQ(values[1], kUntouched);
    }
  }
  ReplyAlways(SReply("aF"));
  EXPECT_EQ(Read(0), QVO_STATUS_OK) << "either case";
  EXPECT_EQ(values[1], 0xAF);

  // "G0" parses to 256 and adds 0 to the checksum: the reply checks out but
  // for its characters.
  ReplyAlways(":08000000000000G00000\r\n");
  EXPECT_EQ(Read(1, 1), QVO_STATUS_REJECTED);
  EXPECT_EQ(values[1], 0xAF);
  ReplyAlways(":0301G000F0\r\n");  // 01 + G0 (0 for the checksum) + 00: checksum 0xFF - 0x01 + 1
  EXPECT_EQ(Block(3), QVO_STATUS_REJECTED);
  ReplyAlways(":0G01020AF3\r\n");
  EXPECT_EQ(Block(3), QVO_STATUS_REJECTED) << "a count that is no number";
  EXPECT_EQ(values[0], kUntouched) << "no value of a refused block is stored";
}

TEST_F(ValueRequestTest, AControllerSlowerThanTheTimeoutNeverGivesAnotherPointsValue) {
  // Read time-out 100 ms; the controller answers 105 ms after each request.
  device->microsecondsPerCharacter = 1042;
  bus.turnaroundMicroseconds = 105000;
  OpenAtStation("=12", 10);
  for (uint32_t point = 1; point <= 8; ++point) controller->points[point] = static_cast<uint8_t>(point + 12);
  for (uint32_t point = 1; point <= 8; ++point) {
    values[1] = kUntouched;
    const QvoStatus status = Read(1, point);
    ASSERT_EQ(status, QVO_STATUS_OK) << point << ": the late reply answers the retry of the same question";
    EXPECT_EQ(values[1], point + 12) << point;
    EXPECT_TRUE(device->input.empty()) << point << ": no reply left to cross into the next request";
  }
}

TEST_F(ValueRequestTest, EveryFrameSentHasItsReplyBeforeTheRequestReturns) {
  device->microsecondsPerCharacter = 1042;
  controller->points[3] = 33;
  // The first reply comes 300 ms late, after two attempts timed out at 250
  // ms; the attempts' own replies come at once.
  bus.scriptedFaults.assign({Fault::Delay});
  bus.faultDelayMicroseconds = 300000;
  ASSERT_EQ(Read(1, 3), QVO_STATUS_OK);
  EXPECT_EQ(values[1], 33);
  EXPECT_EQ(Requests(), 2u);
  EXPECT_TRUE(device->input.empty()) << "the second reply was read before the request returned";

  // With no reply at all the request waits three read time-outs of silence
  // after its last attempt, then returns.
  device->writes.clear();
  bus.scriptedFaults.assign(10, Fault::NoReply);
  const uint64_t start = line().NowMicroseconds();
  EXPECT_EQ(Read(1, 3), QVO_STATUS_NO_ANSWER);
  EXPECT_EQ(line().NowMicroseconds() - start, (10u + 3) * 250000 + 10 * 19 * 1042)
      << "ten time-outs and ten requests on the wire, then three time-outs of silence";

  // A read time-out of 0 makes no reply late: nothing is awaited.
  OpenAtStation("=12", 0);
  ReplyAlways(":070000126800170000\r\r");  // never framed: every attempt fails, every frame counts unanswered
  line().ClearCalls();
  EXPECT_EQ(Read(0), QVO_STATUS_NO_ANSWER);
  EXPECT_EQ(line().CountCalls(Service::Read), 10u) << "one read an attempt, none after";
}

// The controller answers every request later than the read time-out,
// within the wait for late replies; a window of start characters and line
// ends follows each reply. It is no answer: counted as one, the wait would
// end before the last frame's reply came, and each following request would
// take the reply of the one before.
TEST_F(ValueRequestTest, ANoiseWindowIsNoAnswer) {
  device->microsecondsPerCharacter = 1042;
  OpenAtStation("=12", 10);  // 100 ms
  std::string lineEnds = ":";
  while (lineEnds.size() < 23) lineEnds += "\r\n";
  device->responder = [&](sim::SimDevice& d, std::string_view frame) {
    for (const auto& exchange : bus.Feed(frame)) {
      sim::DeliverPieces(d, {{125000, exchange.reply}, {0, lineEnds, true}});
    }
  };
  for (uint32_t point = 1; point <= 8; ++point) controller->points[point] = static_cast<uint8_t>(10 * point);
  for (uint32_t point = 1; point <= 8; ++point) {
    ASSERT_EQ(Read(1, point), QVO_STATUS_OK) << point;
    EXPECT_EQ(values[1], 10 * point) << point;
  }
}

TEST_F(ValueRequestTest, ALineWithoutModemLinesReportsEachRtsSwitch) {
  device->failing = {Service::SetRts, Service::ReadCts};
  RecordedReports().clear();
  EXPECT_EQ(Read(0), QVO_STATUS_NO_ANSWER);
  EXPECT_EQ(CountRecordedReports(kRtsOnFailed), 10u);
  EXPECT_EQ(CountRecordedReports(kRtsOffFailed), 20u) << "one from each send, one from each receive";
  EXPECT_EQ(Requests(), 0u) << "without CTS nothing is sent, and nothing is awaited";
}

// Many two-wire adapters hear their own transmitter: every frame comes back
// ahead of its reply, while it leaves (a UART) or just after (an adapter
// with latency); a repeater may send a second copy, and an adapter's copy
// of the previous identical request may come late. None costs an attempt,
// and none is taken for the reply.
TEST_F(ValueRequestTest, EveryCopyOfTheFrameSentIsTheLinesEcho) {
  controller->block = {0x06, 0x00, 0x12, 0x67};
  for (const int64_t echo : {int64_t{0}, int64_t{3000}}) {
    controller->sPoint = 6;
    controller->points[9] = 200;
    device->echoMicroseconds = echo;
    device->microsecondsPerCharacter = echo == 0 ? 1042 : 0;
    const std::string label = echo == 0 ? "heard while it leaves" : "heard after it left";
    device->writes.clear();
    ASSERT_EQ(Read(0), QVO_STATUS_OK) << label;
    EXPECT_EQ(values[1], 6) << label;
    ASSERT_EQ(Read(1, 9), QVO_STATUS_OK) << label;
    EXPECT_EQ(values[1], 200) << label;
    EXPECT_EQ(Write(0, 0, 3), QVO_STATUS_OK) << label;
    EXPECT_EQ(Write(1, 9, 2), QVO_STATUS_OK) << label;
    ASSERT_EQ(Block(4), QVO_STATUS_OK) << label;
    EXPECT_EQ(std::vector<uint16_t>(values, values + 4), (std::vector<uint16_t>{6, 0, 0x12, 0x67})) << label;
    EXPECT_EQ(Requests(), 5u) << label << ": each at its first attempt";
  }
  // Two more copies ahead of the reply, on a line with echo and without:
  // a repeater's, and the previous identical request's, late.
  device->microsecondsPerCharacter = 1042;
  for (const int64_t echo : {int64_t{-1}, int64_t{0}}) {
    device->echoMicroseconds = echo;
    device->responder = [&](sim::SimDevice& d, std::string_view frame) {
      d.Deliver(std::string(frame) + std::string(frame));
      for (const auto& exchange : bus.Feed(frame)) d.Deliver(exchange.reply);
    };
    device->writes.clear();
    ASSERT_EQ(Block(4), QVO_STATUS_OK) << "echo " << echo;
    EXPECT_EQ(values[3], 0x67) << "echo " << echo;
    EXPECT_EQ(Requests(), 1u) << "echo " << echo;
  }
  // So a block of four whose values are the request's own bytes cannot be
  // read, on any line; nor a write reply that repeats its request. Such a
  // request fails, never with a wrong value.
  controller->block = {0x06, 0x00, 0x12, 0x66};
  values[0] = kUntouched;
  for (const int64_t echo : {int64_t{-1}, int64_t{0}}) {
    device->echoMicroseconds = echo;
    sim::AttachBus(*device, bus);
    EXPECT_EQ(Block(4), QVO_STATUS_NO_ANSWER) << "echo " << echo;
    EXPECT_EQ(values[0], kUntouched);
  }
  device->echoMicroseconds = -1;
  device->responder = [](sim::SimDevice& d, std::string_view frame) { d.Deliver(frame); };
  EXPECT_EQ(Write(0, 0, 3), QVO_STATUS_NO_ANSWER) << "a write reply that repeats the request";
}

// The S reply's checksum is not verified: a digit damaged on the wire would
// be a wrong value. A byte with a parity or framing error is marked, and
// the reply that holds one is refused like a checksum mismatch.
TEST_F(ValueRequestTest, ADamagedValueDigitIsNeverTakenAndTheRetryTakesTheCleanOne) {
  controller->sPoint = 7;
  int replies = 0;
  int damagedReplies = 1;
  bool overrun = false;
  device->responder = [&](sim::SimDevice& d, std::string_view frame) {
    sim::DecodedRequest request;
    ASSERT_TRUE(sim::DecodeRequest(frame, &request));
    std::string reply = controller->Answer(request);
    sim::LineFlaws flaws;
    if (replies++ < damagedReplies) {
      reply[13] = '3';  // the value's first digit, "0" as sent, changed on the wire
      flaws.damaged = {13};
    }
    flaws.overrun = overrun;  // input lost ahead of the count byte: nothing in the bytes shows it
    flaws.overrunAt = 2;
    d.DeliverAt(SimLine::Get().NowMicroseconds(), reply, flaws);
  };
  ASSERT_EQ(Read(0), QVO_STATUS_OK);
  EXPECT_EQ(values[1], 7);
  EXPECT_EQ(Requests(), 2u);

  values[1] = kUntouched;
  replies = 0;
  damagedReplies = 10;
  EXPECT_EQ(Read(0), QVO_STATUS_REJECTED);
  EXPECT_EQ(values[1], kUntouched);

  damagedReplies = 0;
  overrun = true;
  EXPECT_EQ(Read(0), QVO_STATUS_REJECTED);
  EXPECT_EQ(values[1], kUntouched);
}

// A dead controller, and a line that picks up a stray byte now and then:
// each byte keeps a read alive, yet every request ends within the bound the
// line-behaviour document states, whatever the rate.
TEST_F(ValueRequestTest, EveryRequestEndsInItsBoundWhateverTheNoise) {
  device->microsecondsPerCharacter = 1042;
  device->responder = nullptr;
  for (const uint32_t timeoutUnits : {5u, 100u}) {
    OpenAtStation("=12", timeoutUnits);
    const uint64_t timeout = timeoutUnits * 10000ull;
    for (const uint64_t every : {2000ull, 20000ull, 900000ull}) {
      device->input.clear();
      const uint64_t start = line().NowMicroseconds();
      for (uint64_t at = start + every; at < start + 120000000; at += every) device->DeliverAt(at, "x");
      EXPECT_EQ(Read(0), QVO_STATUS_NO_ANSWER);
      const uint64_t attempt = 50000 + 19000 + 17 * 1042 + timeout + (21 + 600) * 1042;
      EXPECT_LE(line().NowMicroseconds() - start, 10 * attempt + 3 * timeout + 1200 * 1042)
          << "a byte every " << every << " us, time-out " << timeout << " us";
    }
  }
}

// The controller (or a repeater) answers point 001 twice, 8 ms apart; the
// host reads 002-008 back to back. The duplicate begins while the request
// for 002 is still on the wire, so it cannot be its answer: it is skipped,
// and no request takes the previous point's value.
TEST_F(ValueRequestTest, ADuplicateReplyStartsNoChainOfStaleValues) {
  device->microsecondsPerCharacter = 1042;
  for (uint32_t n = 1; n <= 8; ++n) controller->points[n] = static_cast<uint8_t>(10 * n);
  bool duplicate = true;
  device->responder = [&](sim::SimDevice& d, std::string_view bytes) {
    for (const sim::BusExchange& exchange : bus.Feed(bytes)) {
      sim::DeliverPieces(d, exchange.pieces);
      if (duplicate) d.Deliver(exchange.reply, 8000);
      duplicate = false;
    }
  };
  ASSERT_EQ(Read(1, 1), QVO_STATUS_OK);
  EXPECT_EQ(values[1], 10);
  int wrong = 0;
  for (uint32_t n = 2; n <= 8; ++n) {
    ASSERT_EQ(Read(1, n), QVO_STATUS_OK) << n;
    wrong += values[1] != 10 * n;
  }
  EXPECT_EQ(wrong, 0);
}

}  // namespace
