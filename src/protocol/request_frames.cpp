#include "protocol/request_frames.h"

uint32_t BuildWriteSPointRequest(char* frame, uint32_t station, uint32_t value) {
  FrameWriter w = StartFrame(frame, 4);
  PutDecimal(&w, kCommandWriteSPoint, 2);
  PutDecimal(&w, station, 4);
  PutDecimal(&w, value, 1);
  PutText(&w, "0");
  return FinishFrame(&w);
}

uint32_t BuildWritePointRequest(char* frame, uint32_t station, uint32_t pointNumber, uint32_t value) {
  FrameWriter w = StartFrame(frame, 6);
  PutDecimal(&w, kCommandPoint, 2);
  PutDecimal(&w, station, 4);
  PutDecimal(&w, kCodeWriteBase + value, 2);
  PutDecimal(&w, pointNumber, 3);
  PutText(&w, "0");
  return FinishFrame(&w);
}

uint32_t BuildReadSPointRequest(char* frame, uint32_t station) {
  FrameWriter w = StartFrame(frame, 5);
  PutDecimal(&w, kCommandSPoint, 2);
  PutDecimal(&w, station, 4);
  PutDecimal(&w, kCodeReadSPoint, 2);
  PutText(&w, "00");
  return FinishFrame(&w);
}

uint32_t BuildReadPointRequest(char* frame, uint32_t station, uint32_t pointNumber) {
  FrameWriter w = StartFrame(frame, 6);
  PutDecimal(&w, kCommandPoint, 2);
  PutDecimal(&w, station, 4);
  PutDecimal(&w, kCodeRead, 2);
  PutDecimal(&w, pointNumber, 3);
  PutText(&w, "0");
  return FinishFrame(&w);
}

uint32_t BuildBlockRequest(char* frame, uint32_t station) {
  FrameWriter w = StartFrame(frame, 4);
  PutDecimal(&w, kCommandBlock, 2);
  PutDecimal(&w, station, 4);
  PutDecimal(&w, kCodeRead, 2);
  return FinishFrame(&w);
}
