// What the driver tells the host of itself.
#pragma once

// The driver's name as the host knows it: five letters and a blank.
constexpr char kDriverName[] = "TOVEK ";
