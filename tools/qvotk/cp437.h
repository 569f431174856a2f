// Text in code page 437 (the driver's banner) rendered for a UTF-8 terminal.
#pragma once

#include <string>

std::string Cp437ToUtf8(const std::string& text);
