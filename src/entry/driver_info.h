// Driver information (opcode 14): what the driver tells the host of itself.
#pragma once

#include "qvotk/qvotk.h"

// The driver's name as the host knows it: five letters and a blank.
constexpr char kDriverName[] = "TOVEK ";

QvoStatus GetDriverInfo(QvoRequest* request);
