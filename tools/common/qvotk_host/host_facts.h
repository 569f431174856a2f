// What a host knows of the driver and the line from the outside: the facts
// the tools, the tests and the benches share, written from the host's side
// (the public header and the frame rules), not taken from the driver's own
// sources, so that the tests keep checking the driver independently.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qvotk_host {

// Every value request makes at most this many attempts.
constexpr int kMaxAttempts = 10;

// Station addresses travel as four decimal digits.
constexpr uint32_t kMaxStation = 9999;

// A block read carries at most this many values.
constexpr int32_t kMaxBlockValues = 255;

// The read time-out of a host's record counts units of this many ms.
constexpr uint32_t kTimeoutUnitMs = 10;

// A character on the line: a start bit, 8 data bits, a stop bit (8N1).
constexpr uint32_t kBitsPerCharacter = 10;

// Where a POSIX host's bare port names ("ttyUSB0", "pts/3") are found.
constexpr char kDeviceFolder[] = "/dev/";

// The longest port name the host's channel record holds (its
// QVO_PORT_NAME_SIZE, less the terminating NUL).
constexpr size_t kLongestPortName = 11;

// `given` as the driver takes it: as it is when it fits, or without its
// "/dev/" when the rest does; false when neither fits.
bool FitPortName(const std::string& given, std::string* port);

// Parity codes 0-4 by name: "none", "odd", "even", "mark", "space"; "?" for
// any other code.
const char* ParityName(int code);
// The code of a parity name, or -1.
int ParityCode(const char* name);

// The code of a stop-bits name, "1", "1.5" or "2", as the line record
// holds it (1.5 is code 1); 0 for any other name.
uint16_t StopBitsCode(const char* name);

// Whether a point takes `value` in a write: the S point 0-9 (one digit on
// the line), a numbered point 1 or 2 (the codes 71 and 72). What the driver
// refuses before anything is sent.
constexpr bool TakesValue(bool sPoint, long value) {
  return sPoint ? value >= 0 && value <= 9 : value == 1 || value == 2;
}

// One exchange on the line, in characters: the request and its reply.
struct FrameLengths {
  uint32_t request;
  uint32_t reply;
  uint32_t Both() const { return request + reply; }
};
// Reading or writing a single point: `sPoint` for the S point, else a
// numbered one. S read 17 + 21, numbered read 19 + 23, S write 15 + 15,
// numbered write 19 + 19.
FrameLengths ValueFrames(bool sPoint, bool write);
// A block of `count` values: 15 + 2 count + 7.
FrameLengths BlockFrames(int32_t count);

// The time of `characters` on the line at `baud`, 10 bits each (8N1), in
// microseconds.
double WireMicroseconds(uint32_t characters, uint32_t baud);

// The exit status of the tool: the driver's status, the worst of several;
// these beside it.
constexpr int kExitUsage = 64;
// 129 after SIGHUP, 130 after Ctrl-C, 141 after a closed output, 143 after SIGTERM.
constexpr int ExitStatusAfter(int signal) { return 128 + signal; }

}  // namespace qvotk_host
