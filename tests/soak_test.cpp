// The fault soak on the simulated line, paced at 9600 baud: the controller
// injects every fault kind at random, and each request's status is checked
// against what its faults call for wherever they decide it, its values
// against the controller's always, and the host's array around them.
// QVO_SOAK_REQUESTS sets the number of requests (2000 by default, the same
// in the soak lane: the virtual clock makes them cheap; a million by hand).
// pty_soak_test runs the same faults on a pseudo-terminal.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "qvotk/qvotk.h"
#include "sim_line/attach.h"
#include "support/paced_line.h"
#include "support/requests.h"

namespace {

using sim::Fault;

constexpr int kStation = 21;
constexpr int kBlockValues = 16;
constexpr uint16_t kCanary = 0xEEEE;

using Kind = RequestKind;
constexpr QvoStatus kUndecided = -1;

// What one attempt answers when its reply meets `fault`; kUndecided where
// the moment of a late reply or of noise decides it.
QvoStatus AttemptOutcome(Fault fault, Kind kind) {
  const bool block = kind == Kind::Block;
  switch (fault) {
    case Fault::None:
    case Fault::StrayBytes: return QVO_STATUS_OK;  // skipped ahead of the reply
    case Fault::NoReply:
    case Fault::ShortReply: return QVO_STATUS_NO_ANSWER;
    case Fault::StatusError:
      return block ? QVO_STATUS_OK : QVO_STATUS_REJECTED;  // a block has no status character
    case Fault::BadChecksum: return kind == Kind::ReadPoint || block ? QVO_STATUS_REJECTED : QVO_STATUS_OK;
    case Fault::WrongBlockCount: return block ? QVO_STATUS_NO_ANSWER : QVO_STATUS_OK;
    case Fault::Delay:
    case Fault::Noise:
    case Fault::Echo: return kUndecided;  // whole, it is skipped; cut, it spoils the window
  }
  return kUndecided;
}

// The request's status as its faults decide it, and the frames it costs.
struct Expectation {
  QvoStatus status = kUndecided;
  size_t frames = 0;
};

Expectation Expect(const std::vector<Fault>& faults, Kind kind) {
  Expectation expected;
  for (size_t i = 0; i < faults.size(); ++i) {
    const QvoStatus outcome = AttemptOutcome(faults[i], kind);
    if (outcome == kUndecided) return {};
    expected = {outcome, i + 1};
    if (outcome == QVO_STATUS_OK) return expected;
  }
  return expected;
}

// A profile of the line: how often a reply meets a fault, and which.
struct FaultProfile {
  double rate;
  std::vector<Fault> kinds;
};

class PacedSoak : public ::testing::Test {
 protected:
  void SetUp() override {
    controller = &bus.Add(kStation);
    controller->block.resize(kBlockValues);
    bus.faultDelayMicroseconds = 150000;  // later than the 100 ms time-out, within three
    line.device->responder = [this](sim::SimDevice& device, std::string_view bytes) {
      for (const sim::BusExchange& exchange : bus.Feed(bytes)) {
        faults.push_back(exchange.fault);
        sim::DeliverPieces(device, exchange.pieces);
      }
    };
    ASSERT_EQ(line.Open(10), QVO_STATUS_OK);
  }

  PacedLine line{kStation};
  sim::ControllerBus bus;
  sim::TovekController* controller = nullptr;
  std::vector<Fault> faults;  // of the current request's frames
};

TEST_F(PacedSoak, StatusesFollowTheFaultsAndValuesTheController) {
  const long requests = SoakRequests(2000);
  const std::vector<Fault> deciding = {Fault::NoReply, Fault::ShortReply, Fault::StatusError,
                                       Fault::BadChecksum, Fault::WrongBlockCount};
  std::vector<Fault> every;
  for (int i = 1; i < sim::kFaultKinds; ++i) every.push_back(static_cast<Fault>(i));
  // Segments of 100 requests: a fair line, a poor one, one where every
  // failure decides, and one where ten failed attempts are the rule.
  const FaultProfile profiles[] = {{0.25, every},
                                   {0.6, every},
                                   {0.95, deciding},
                                   {0.97, {Fault::NoReply, Fault::ShortReply, Fault::StatusError}}};

  std::mt19937 random(11);
  long decided = 0, tenFailures = 0, succeeded = 0;
  bool noiseMayLinger = false;
  uint16_t values[kBlockValues + 8];
  for (long r = 0; r < requests; ++r) {
    if (r % 100 == 0) {
      const FaultProfile& profile = profiles[(r / 100) % std::size(profiles)];
      bus.SetRandomFaults(profile.rate, profile.kinds, static_cast<uint32_t>(r));
    }
    const auto kind = static_cast<Kind>(random() % 5);
    const auto number = static_cast<uint32_t>(random() % 1000);
    // Fresh values before each request, so that a reply to an earlier one
    // would show.
    controller->sPoint = static_cast<uint8_t>(random() % 10);
    controller->points[number] = static_cast<uint8_t>(random());
    for (auto& v : controller->block) v = static_cast<uint8_t>(random());
    const uint16_t value = static_cast<uint16_t>(
        kind == Kind::WriteS ? (controller->sPoint + 1) % 10 : 3 - (controller->points[number] == 2));
    for (auto& v : values) v = kCanary;
    faults.clear();

    const QvoStatus status = SendRequestOf(&line.channel, kind, number, value, kBlockValues, values);

    const Expectation expected = Expect(faults, kind);
    if (expected.status != kUndecided && !noiseMayLinger) {
      ++decided;
      ASSERT_EQ(status, expected.status) << "request " << r;
      ASSERT_EQ(faults.size(), expected.frames) << "request " << r;
      tenFailures += expected.frames == 10 && status != QVO_STATUS_OK;
    }
    // Noise after the last reply can still be arriving for the next request.
    noiseMayLinger = !faults.empty() && faults.back() == Fault::Noise;

    ASSERT_EQ(ValueWrittenOutside(kind, status, values, std::size(values), kBlockValues, kCanary), -1)
        << "request " << r;
    if (status != QVO_STATUS_OK) continue;
    ++succeeded;
    switch (kind) {
      case Kind::ReadS: ASSERT_EQ(values[1], controller->sPoint) << r; break;
      case Kind::ReadPoint: ASSERT_EQ(values[1], controller->points[number]) << r; break;
      case Kind::WriteS: ASSERT_EQ(controller->sPoint, value) << r; break;
      case Kind::WritePoint: ASSERT_EQ(controller->points[number], value) << r; break;
      case Kind::Block:
        for (int i = 0; i < kBlockValues; ++i) ASSERT_EQ(values[i], controller->block[i]) << r;
        break;
    }
  }
  std::printf("%ld requests: %ld succeeded, %ld decided by their faults, %ld after ten failed attempts\n",
              requests, succeeded, decided, tenFailures);
  EXPECT_GT(decided, requests / 4);
  EXPECT_GT(tenFailures, requests / 20) << "ten failed attempts really happen";
}

}  // namespace
