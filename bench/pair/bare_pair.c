/*
 * The floor of the unpaced comparison: the least a request can cost on the
 * pair. A client writes a numbered-point read and waits for the 23
 * characters of its reply (write, poll, read); a responder reads up to the
 * request's LF and writes a fixed reply. No protocol, no checks.
 *
 *   bare_pair responder DEVICE
 *   bare_pair client DEVICE REQUESTS     prints requests/s and us/request
 */
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static const char kRequest[] = ":060900016600106F\r\n";
static const char kReply[] = ":08000001660010020087\r\n";

int main(int argc, char** argv) {
  if (argc < 3 || (strcmp(argv[1], "client") == 0 && argc < 4)) {
    fprintf(stderr, "usage: bare_pair responder DEVICE | bare_pair client DEVICE REQUESTS\n");
    return 64;
  }
  const int fd = open(argv[2], O_RDWR | O_NOCTTY);
  struct termios settings;
  if (fd < 0 || tcgetattr(fd, &settings) != 0) {
    perror(argv[2]);
    return 1;
  }
  cfmakeraw(&settings);
  tcsetattr(fd, TCSANOW, &settings);
  char buffer[256];
  if (strcmp(argv[1], "responder") == 0) {
    for (;;) {
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n > 0 && memchr(buffer, '\n', (size_t)n) != NULL) write(fd, kReply, sizeof kReply - 1);
    }
  }
  const long requests = atol(argv[3]);
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (long i = 0; i < requests; ++i) {
    write(fd, kRequest, sizeof kRequest - 1);
    size_t have = 0;
    while (have < sizeof kReply - 1) {
      struct pollfd watch = {fd, POLLIN, 0};
      poll(&watch, 1, 1000);
      const ssize_t n = read(fd, buffer + have, sizeof kReply - 1 - have);
      if (n > 0) have += (size_t)n;
    }
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  const double seconds = (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9;
  printf("bare C %ld requests: %.1f requests/s, %.1f us/request\n", requests, (double)requests / seconds,
         seconds * 1e6 / (double)requests);
  return 0;
}
