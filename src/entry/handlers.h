// The request handlers that the opcode table routes to, each in this
// folder. Each takes the whole request, unpacks the host's records, calls
// the typed operations of the layers below, and answers with a QvoStatus.
#pragma once

#include "qvotk/qvotk.h"

using RequestHandler = QvoStatus (*)(QvoRequest* request);

// The channel's life (channel.cpp).
QvoStatus OpenChannel(QvoRequest* request);         // opcode 1
QvoStatus FlushChannel(QvoRequest* request);        // opcode 2
QvoStatus CloseChannel(QvoRequest* request);        // opcodes 11 and 12
QvoStatus ReopenChannel(QvoRequest* request);       // opcode 13
QvoStatus ReconfigureChannel(QvoRequest* request);  // opcode 15

// Point names (point_handlers.cpp).
QvoStatus ParsePointAddress(QvoRequest* request);  // opcode 3
QvoStatus CheckBlockAddress(QvoRequest* request);  // opcode 4

// Values (value_handlers.cpp).
QvoStatus ReadValue(QvoRequest* request);   // opcode 5
QvoStatus ReadBlock(QvoRequest* request);   // opcode 6
QvoStatus WriteValue(QvoRequest* request);  // opcode 7

// The driver itself (driver_info.cpp).
QvoStatus RejectRequest(QvoRequest* request);  // opcode 10: answers 1, touches nothing
QvoStatus GetDriverInfo(QvoRequest* request);  // opcode 14
