// The far end of a guest UART in the kernel lane: the simulated controller
// (station 1, S = 7, point 009 = 200, a block of 1 ... 255) answering the
// driver in a QEMU guest through one of QEMU's serial backends.
//   uart_peer unix PATH           listens on a Unix socket: QEMU connects to it
//   uart_peer telnet PORT BREAKS  connects to QEMU's telnet server on
//                                 127.0.0.1:PORT, and sends a break (IAC BRK)
//                                 inside each of its first BREAKS replies
// It serves until the other side goes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/controller_bus.h"

namespace {

constexpr unsigned char kIac = 255, kBrk = 243, kSb = 250, kSe = 240, kWill = 251, kDont = 254;

int ListenUnix(const char* path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path);
  unlink(path);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 1) != 0) return -1;
  // Ready: the lane starts QEMU now.
  std::printf("listening\n");
  std::fflush(stdout);
  const int connection = accept(fd, nullptr, nullptr);
  close(fd);
  return connection;
}

// QEMU's telnet server comes up with the guest; try for a while.
int ConnectTelnet(int port) {
  for (int attempt = 0; attempt < 300; ++attempt) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    close(fd);
    usleep(100000);
  }
  return -1;
}

void WriteAll(int fd, const std::string& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// The guest's bytes out of the telnet stream: commands and subnegotiations
// dropped, a doubled IAC kept once.
class TelnetReader {
 public:
  std::string Data(const char* bytes, size_t size) {
    std::string data;
    for (size_t i = 0; i < size; ++i) {
      const auto c = static_cast<unsigned char>(bytes[i]);
      switch (state_) {
        case 0:
          if (c == kIac) {
            state_ = 1;
          } else {
            data += static_cast<char>(c);
          }
          break;
        case 1:  // after IAC
          if (c == kIac) {
            data += static_cast<char>(c);
            state_ = 0;
          } else if (c == kSb) {
            state_ = 3;
          } else {
            state_ = c >= kWill && c <= kDont ? 2 : 0;
          }
          break;
        case 2: state_ = 0; break;  // the option of WILL, WONT, DO, DONT
        case 3: state_ = c == kIac ? 4 : 3; break;
        default: state_ = c == kSe ? 0 : 3; break;
      }
    }
    return data;
  }

 private:
  int state_ = 0;
};

// A reply on the telnet stream: IAC doubled, and a break in its middle
// where one is asked for.
std::string Telnet(const std::string& reply, bool withBreak) {
  std::string out;
  for (size_t i = 0; i < reply.size(); ++i) {
    if (withBreak && i == reply.size() / 2) out += {static_cast<char>(kIac), static_cast<char>(kBrk)};
    if (static_cast<unsigned char>(reply[i]) == kIac) out += static_cast<char>(kIac);
    out += reply[i];
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: uart_peer unix PATH | uart_peer telnet PORT BREAKS\n");
    return 64;
  }
  const bool telnet = std::strcmp(argv[1], "telnet") == 0;
  int breaks = telnet && argc > 3 ? std::atoi(argv[3]) : 0;
  const int fd = telnet ? ConnectTelnet(std::atoi(argv[2])) : ListenUnix(argv[2]);
  if (fd < 0) {
    std::perror("uart_peer");
    return 1;
  }
  sim::ControllerBus bus;
  sim::TovekController& controller = bus.Add(1);
  controller.sPoint = 7;
  controller.points[9] = 200;
  for (int i = 1; i <= 255; ++i) controller.block.push_back(static_cast<uint8_t>(i));
  TelnetReader reader;
  char buffer[1024];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    const std::string data =
        telnet ? reader.Data(buffer, static_cast<size_t>(n)) : std::string(buffer, static_cast<size_t>(n));
    for (const sim::BusExchange& exchange : bus.Feed(data)) {
      if (exchange.reply.empty()) continue;
      WriteAll(fd, telnet ? Telnet(exchange.reply, breaks-- > 0) : exchange.reply);
    }
  }
  close(fd);
  return 0;
}
