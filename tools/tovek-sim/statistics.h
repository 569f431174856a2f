// What the simulated line saw, told when tovek-sim ends.
#pragma once

#include <cstdio>
#include <string>

#include "sim/controller_bus.h"

// One line: frames, replies sent, frames ignored, faults by kind.
void PrintStatistics(const sim::BusStatistics& statistics, std::FILE* out);

// The same as "key value" lines, for scripts; false when the file cannot be written.
bool WriteStatisticsFile(const sim::BusStatistics& statistics, const std::string& path);
