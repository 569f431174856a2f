// A channel on COM1 of the simulated line paced at 9600 baud, with the call
// log off: the line the fault soak and the line histories run their
// requests on. The test answers what the driver sends through the device's
// responder.
#pragma once

#include <cstdint>
#include <string>

#include "qvotk/qvotk.h"
#include "sim_line/sim_line.h"
#include "support/requests.h"
#include "support/temp_dir.h"

// 10 bits at 9600 baud.
constexpr uint64_t kPacedCharacterMicroseconds = 1042;

struct PacedLine {
  explicit PacedLine(uint16_t station) {
    sim::SimLine::Get().Reset();
    sim::SimLine::Get().SetLogging(false);
    device = &sim::SimLine::Get().AddDevice("COM1");
    device->microsecondsPerCharacter = kPacedCharacterMicroseconds;
    device->keepWrites = false;
    workingDirectory.WriteFile("QVOTK01.int", "STATION=" + std::to_string(station));
  }
  QvoStatus Open(uint32_t timeoutUnits) { return OpenChannelOn(&channel, "COM1", 1, timeoutUnits); }

  TemporaryWorkingDirectory workingDirectory;
  sim::SimDevice* device = nullptr;
  QvoChannel channel{};
};
