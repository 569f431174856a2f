#include "cp437.h"

#include <clocale>
#include <cstring>
#if !defined(_WIN32)
#include <langinfo.h>
#endif

namespace {

// The upper half of code page 437, 0x80 to 0xFF.
const char* const kUpperHalf[128] = {
    "Ç", "ü", "é", "â", "ä", "à", "å", "ç", "ê", "ë", "è", "ï", "î", "ì", "Ä", "Å", "É", "æ", "Æ",
    "ô", "ö", "ò", "û", "ù", "ÿ", "Ö", "Ü", "¢", "£", "¥", "₧", "ƒ", "á", "í", "ó", "ú", "ñ", "Ñ",
    "ª", "º", "¿", "⌐", "¬", "½", "¼", "¡", "«", "»", "░", "▒", "▓", "│", "┤", "╡", "╢", "╖", "╕",
    "╣", "║", "╗", "╝", "╜", "╛", "┐", "└", "┴", "┬", "├", "─", "┼", "╞", "╟", "╚", "╔", "╩", "╦",
    "╠", "═", "╬", "╧", "╨", "╤", "╥", "╙", "╘", "╒", "╓", "╫", "╪", "┘", "┌", "█", "▄", "▌", "▐",
    "▀", "α", "ß", "Γ", "π", "Σ", "σ", "µ", "τ", "Φ", "Θ", "Ω", "δ", "∞", "φ", "ε", "∩", "≡", "±",
    "≥", "≤", "⌠", "⌡", "÷", "≈", "°", "∙", "·", "√", "ⁿ", "²", "■", " ",
};

}  // namespace

std::string Cp437ToUtf8(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += kUpperHalf[c - 0x80];
    }
  }
  return out;
}

namespace {

char AsciiOf(unsigned char c) {
  switch (c) {
    case 0xC9:
    case 0xBB:
    case 0xC8:
    case 0xBC: return '+';
    case 0xCD: return '=';
    case 0xBA: return '|';
    case 0xB0: return '.';
    case 0xB1: return ':';
    case 0xB2:
    case 0xDB: return '#';
    default: return c < 0x80 ? static_cast<char>(c) : '?';
  }
}

bool TerminalTakesUtf8() {
#if defined(_WIN32)
  return false;
#else
  std::setlocale(LC_CTYPE, "");
  const char* codeset = nl_langinfo(CODESET);
  return codeset != nullptr && std::strcmp(codeset, "UTF-8") == 0;
#endif
}

}  // namespace

std::string Cp437ForTerminal(const std::string& text) {
  if (TerminalTakesUtf8()) return Cp437ToUtf8(text);
  std::string out;
  for (unsigned char c : text) out += AsciiOf(c);
  return out;
}
