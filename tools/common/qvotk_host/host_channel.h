// A channel as a host holds it: the channel record, allocated at the size
// the driver asks for, and one call through QvoMain per opcode, with the
// host's records built as a host builds them.
#pragma once

#include <qvotk/qvotk.h>

#include <cstdint>
#include <string>
#include <vector>

#include "qvotk_host/driver_library.h"

struct LineOptions {
  std::string port;
  int32_t lineNumber = 1;
  LineParams line{};
  uint32_t timeoutUnits = 100;  // 10 ms units
};

// A point as the driver's validation reports it.
struct Point {
  std::string name;
  uint32_t kind = 0;
  uint32_t number = 0;
};

class HostChannel {
 public:
  explicit HostChannel(QvoMainFunction entry);

  QvoStatus Info(QvoDriverInfo* info);
  // Opcode 3, and opcode 4 with `count`.
  QvoStatus Validate(const std::string& name, Point* point);
  QvoStatus CheckBlock(const std::string& name, int32_t count);

  QvoStatus Open(const LineOptions& options);
  QvoStatus Close();
  QvoStatus Flush();
  QvoStatus Reopen();
  QvoStatus Reconfigure(const std::string& port, const LineParams& line);

  QvoStatus Read(const Point& point, uint16_t* value);
  QvoStatus Write(const Point& point, uint16_t value);
  QvoStatus ReadBlock(int32_t count, std::vector<uint16_t>* values);

  const QvoChannel& channel() const { return *channel_; }
  // The host owns the channel record: a host that polls several stations
  // on one line sets the address before each request.
  void SetStationAddress(uint16_t address) { channel_->stationAddress = address; }

 private:
  QvoStatus Call(uint32_t opcode, void* params, int32_t lineNumber = 0);
  QvoStatus Transfer(uint32_t opcode, uint32_t kind, uint32_t number, int32_t count, uint16_t* values);

  QvoMainFunction entry_;
  std::vector<uint64_t> channelStorage_;  // the size the driver asks for, zeroed: no port
  QvoChannel* channel_;
};
