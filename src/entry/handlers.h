// The request handlers that the opcode table routes to. Each takes the whole
// request and answers with a QvoStatus.
#pragma once

#include "qvotk/qvotk.h"

using RequestHandler = QvoStatus (*)(QvoRequest* request);

// The unsupported request.
QvoStatus RejectRequest(QvoRequest* request);
