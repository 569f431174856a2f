// A pseudo-terminal pair for tests: the test holds the master side and
// gives the driver the slave's name ("pts/N", as it is found under /dev).
#pragma once

#include <termios.h>

#include <string>

class PseudoTerminal {
 public:
  PseudoTerminal();
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  bool ok() const { return master_ >= 0; }
  const std::string& portName() const { return portName_; }  // "pts/N"
  const std::string& path() const { return path_; }          // "/dev/pts/N"
  int master() const { return master_; }

  // The terminal's settings as any program sees them, through a descriptor
  // of the test's own.
  bool ReadSettings(termios* settings) const;
  bool WriteSettings(const termios& settings) const;

  void Write(const std::string& bytes);
  // Reads what arrives within `timeoutMs`, up to `count` bytes.
  std::string Read(size_t count, int timeoutMs);
  void CloseMaster();

 private:
  int master_ = -1;
  std::string path_;
  std::string portName_;
};

// How many descriptors this process holds: the leak check of tests that open
// and close terminals.
size_t OpenDescriptors();
