// The simulator's end of the line: a pseudo-terminal it creates, or an
// existing serial device (an RS-485 adapter standing in for a controller).
#pragma once

#include <string>

// The rate a device is set to when the line is not paced.
constexpr unsigned kDefaultDeviceBaud = 9600;

struct SerialEndpoint {
  int fd = -1;
  int slaveKeeper = -1;  // keeps a pseudo-terminal from hanging up while no driver holds it
  std::string portName;  // what to give the driver: "pts/N", or the device path
  std::string path;
};

bool OpenPseudoTerminal(SerialEndpoint* endpoint, std::string* error);
bool OpenSerialDevice(const std::string& path, unsigned baud, SerialEndpoint* endpoint, std::string* error);
void CloseEndpoint(SerialEndpoint* endpoint);
