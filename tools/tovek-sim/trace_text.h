// What tovek-sim's trace says of the frames on its line, in words.
#pragma once

#include <string>
#include <string_view>

#include "sim/controller_bus.h"

// Frame text for a trace: control characters shown as <CR>, <LF>, <0A>.
std::string PrintableFrame(std::string_view frame);
// What a request asks, in words: "station 12: read point 005".
std::string DescribeRequest(std::string_view frame);
// What went back for one exchange, in words: "status ok, value 17", with
// the fault.
std::string DescribeAnswer(const sim::BusExchange& exchange);
