// The request frames of the controller protocol. Every request body is the
// command byte, the station address in two bytes, then the command's own
// bytes; each builder returns the frame's length.
#pragma once

#include <cstdint>

#include "protocol/frame.h"

// Command bytes and the codes that travel with them.
constexpr uint32_t kCommandWriteSPoint = 5;  // value digit
constexpr uint32_t kCommandBlock = 6;        // code 66
constexpr uint32_t kCommandSPoint = 8;       // code 68, then 00
constexpr uint32_t kCommandPoint = 9;        // code 66 read, 71/72 write
constexpr uint32_t kCodeRead = 66;
constexpr uint32_t kCodeReadSPoint = 68;
constexpr uint32_t kCodeWriteBase = 70;  // 71 writes the value 1, 72 the value 2

// Request lengths.
constexpr uint32_t kWriteSPointRequestLength = FrameLength(4);
constexpr uint32_t kWritePointRequestLength = FrameLength(6);
constexpr uint32_t kReadSPointRequestLength = FrameLength(5);
constexpr uint32_t kReadPointRequestLength = FrameLength(6);
constexpr uint32_t kBlockRequestLength = FrameLength(4);
constexpr uint32_t kLongestRequestLength = FrameLength(6);

// Station addresses travel as four decimal digits, point numbers as three
// and a one-digit value; larger numbers cannot be sent.
constexpr uint32_t kMaxStationAddress = 9999;
constexpr uint32_t kMaxPointNumber = 999;
constexpr uint32_t kMaxSPointValue = 9;

uint32_t BuildWriteSPointRequest(char* frame, uint32_t station, uint32_t value);
uint32_t BuildWritePointRequest(char* frame, uint32_t station, uint32_t pointNumber, uint32_t value);
uint32_t BuildReadSPointRequest(char* frame, uint32_t station);
uint32_t BuildReadPointRequest(char* frame, uint32_t station, uint32_t pointNumber);
uint32_t BuildBlockRequest(char* frame, uint32_t station);
