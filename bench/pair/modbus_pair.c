/*
 * The other side of the unpaced comparison: a libmodbus RTU slave, or a
 * master that reads one holding register from it again and again, on a
 * serial device (one end of a socat pair of pseudo-terminals).
 *
 *   modbus_pair slave DEVICE
 *   modbus_pair master DEVICE REQUESTS     prints requests/s and us/request
 */
#include <errno.h>
#include <modbus.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static double Now(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
  if (argc < 3 || (strcmp(argv[1], "master") == 0 && argc < 4)) {
    fprintf(stderr, "usage: modbus_pair slave DEVICE | modbus_pair master DEVICE REQUESTS\n");
    return 64;
  }
  modbus_t* ctx = modbus_new_rtu(argv[2], 9600, 'N', 8, 1);
  if (ctx == NULL || modbus_set_slave(ctx, 1) != 0 || modbus_connect(ctx) != 0) {
    fprintf(stderr, "modbus_pair: %s: %s\n", argv[2], modbus_strerror(errno));
    return 1;
  }
  if (strcmp(argv[1], "slave") == 0) {
    modbus_mapping_t* map = modbus_mapping_new(0, 0, 16, 0);
    uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
    for (;;) {
      const int length = modbus_receive(ctx, query);
      if (length > 0) modbus_reply(ctx, query, length, map);
    }
  }
  const long requests = atol(argv[3]);
  long failed = 0;
  const double start = Now();
  for (long i = 0; i < requests; ++i) {
    uint16_t value = 0;
    if (modbus_read_registers(ctx, 0, 1, &value) != 1) ++failed;
  }
  const double seconds = Now() - start;
  printf("libmodbus RTU %ld requests, %ld failed: %.1f requests/s, %.1f us/request\n", requests, failed,
         (double)requests / seconds, seconds * 1e6 / (double)requests);
  modbus_close(ctx);
  modbus_free(ctx);
  return failed ? 2 : 0;
}
