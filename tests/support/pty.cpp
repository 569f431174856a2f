#include "support/pty.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

PseudoTerminal::PseudoTerminal() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0) return;
  if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
    CloseMaster();
    return;
  }
  path_ = ptsname(master_);
  portName_ = path_.substr(5);  // without "/dev/"
  // Raw on the slave's behalf until the driver configures it, so that what
  // the test writes first is not echoed back.
  const int slave = open(path_.c_str(), O_RDWR | O_NOCTTY);
  if (slave >= 0) {
    termios tio;
    if (tcgetattr(slave, &tio) == 0) {
      cfmakeraw(&tio);
      tcsetattr(slave, TCSANOW, &tio);
    }
    close(slave);
  }
}

PseudoTerminal::~PseudoTerminal() { CloseMaster(); }

bool PseudoTerminal::ReadSettings(termios* settings) const {
  const int slave = open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (slave < 0) return false;
  const bool read = tcgetattr(slave, settings) == 0;
  close(slave);
  return read;
}

bool PseudoTerminal::WriteSettings(const termios& settings) const {
  const int slave = open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (slave < 0) return false;
  const bool written = tcsetattr(slave, TCSANOW, &settings) == 0;
  close(slave);
  return written;
}

void PseudoTerminal::Write(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

std::string PseudoTerminal::Read(size_t count, int timeoutMs) {
  std::string got;
  while (got.size() < count) {
    pollfd watch = {master_, POLLIN, 0};
    if (poll(&watch, 1, timeoutMs) <= 0) break;
    char buffer[1024];
    const size_t want = count - got.size() < sizeof buffer ? count - got.size() : sizeof buffer;
    const ssize_t n = read(master_, buffer, want);
    if (n <= 0) break;
    got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

void PseudoTerminal::CloseMaster() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

size_t OpenDescriptors() {
  size_t count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
  }
  return count;
}
