// The per-line station file, read from the host's working directory.
#pragma once

#include <cstdint>

// Reads at most `capacity` bytes of the file `name`; false when it cannot
// be opened. Each platform implements it with its own file services.
bool ReadStationFile(const char* name, char* buffer, uint32_t capacity, uint32_t* length);
