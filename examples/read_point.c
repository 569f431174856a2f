/*
 * A host in a few lines: open a channel on the port named on the command
 * line, read the S point and point 001, print them, close.
 *
 *   read_point PORT [BAUD]
 *
 * The controller's station address comes from QVOTK01.int in the working
 * directory ("STATION=12"), as for every host of the driver.
 * Exit status: the driver's status of the first request that failed, or 0.
 */
#include <qvotk/qvotk.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static QvoStatus Call(QvoChannel* channel, uint32_t opcode, int32_t lineNumber, void* params) {
  QvoRequest request = {0};
  request.channel = channel;
  request.opcode = opcode;
  request.lineNumber = lineNumber;
  request.params = params;
  return QvoMain(&request);
}

/* Validates a point name and reads its value. */
static QvoStatus ReadPoint(QvoChannel* channel, const char* name, uint16_t* value) {
  QvoPointAddress address = {0};
  address.name = name;
  QvoStatus status = Call(channel, QVO_OP_VALIDATE_POINT, 0, &address);
  if (status != QVO_STATUS_OK) return status;

  uint16_t values[2] = {0, 0}; /* a single value comes back in values[1] */
  QvoTransfer transfer = {0};
  transfer.pointKind = address.pointKind;
  transfer.pointNumber = (uint32_t)address.pointNumber;
  transfer.values = values;
  status = Call(channel, QVO_OP_READ_VALUE, 0, &transfer);
  if (status == QVO_STATUS_OK) *value = values[1];
  return status;
}

int main(int argc, char** argv) {
  if (argc < 2 || strlen(argv[1]) >= QVO_PORT_NAME_SIZE) {
    fprintf(stderr,
            "usage: read_point PORT [BAUD]   (PORT: at most 11 characters, such as COM1 or ttyUSB0)\n");
    return 64;
  }

  QvoDriverInfo info = {0};
  Call(NULL, QVO_OP_DRIVER_INFO, 0, &info);
  QvoChannel* channel = calloc(1, info.channelSize); /* zeroed: holds no port */
  if (channel == NULL) return 2;

  QvoOpenParams open = {0};
  strcpy(open.portName, argv[1]);
  open.enable = 1;    /* 0 would leave the line unused */
  open.timeout = 100; /* 1 s, in units of 10 ms */
  open.lineParams = info.defaultLine;
  if (argc > 2) open.lineParams.baudRate = (uint16_t)atoi(argv[2]);
  QvoStatus status = Call(channel, QVO_OP_OPEN_CHANNEL, 1, &open);
  if (status != QVO_STATUS_OK) {
    fprintf(stderr, "read_point: cannot open %s (status %d)\n", argv[1], (int)status);
    free(channel);
    return status;
  }

  const char* names[] = {"S", "001"};
  int result = 0;
  for (int i = 0; i < 2; ++i) {
    uint16_t value = 0;
    status = ReadPoint(channel, names[i], &value);
    if (status == QVO_STATUS_OK) {
      printf("%s = %u\n", names[i], (unsigned)value);
    } else {
      printf("%s: status %d\n", names[i], (int)status);
      if (result == 0) result = status;
    }
  }
  Call(channel, QVO_OP_CLOSE_CHANNEL, 0, NULL);
  free(channel);
  return result;
}
