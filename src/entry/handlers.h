// The request handlers that the opcode table routes to. Each takes the whole
// request and answers with a QvoStatus.
#pragma once

#include "request.h"

using RequestHandler = QvoStatus (*)(QvoRequest* request);

// Driver information and the unsupported request.
QvoStatus GetDriverInfo(QvoRequest* request);
QvoStatus RejectRequest(QvoRequest* request);
