// The life of a channel: open (with the station file), flush, close,
// reopen and reconfigure. The handlers are declared in handlers.h.
#pragma once

#include <cstdint>

// The driver opens every port with RTS control enabled and DTR disabled.
constexpr uint16_t kChannelOpenFlags = 0x0202;
