// Text in code page 437 (the driver's banner) rendered for a UTF-8 terminal.
#pragma once

#include <string>

std::string Cp437ToUtf8(const std::string& text);

// For this terminal: UTF-8 where the locale says so, else plain ASCII
// (frames of + - |, shades of #).
std::string Cp437ForTerminal(const std::string& text);
