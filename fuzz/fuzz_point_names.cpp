// Point names through opcodes 3 and 4: the answer against the naming rule
// stated independently here, the three constants always written, kind and
// number untouched on a refusal.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_support.h"

namespace {

// The rule: the first eight characters, "a" to "z" upper-cased, padded with
// blanks, are "S" and seven blanks, or three digits and five blanks.
bool IsValidName(const std::string& name, bool* sPoint, int* number) {
  std::string eight = name.substr(0, 8);
  for (char& c : eight) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  eight.resize(8, ' ');
  if (eight == "S       ") {
    *sPoint = true;
    return true;
  }
  if (std::isdigit(static_cast<unsigned char>(eight[0])) &&
      std::isdigit(static_cast<unsigned char>(eight[1])) &&
      std::isdigit(static_cast<unsigned char>(eight[2])) && eight.substr(3) == "     ") {
    *sPoint = false;
    *number = std::stoi(eight.substr(0, 3));
    return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  int32_t count;
  std::memcpy(&count, data, sizeof count);
  const std::string name(reinterpret_cast<const char*>(data + 4),
                         strnlen(reinterpret_cast<const char*>(data + 4), size - 4));

  bool sPoint = false;
  int number = -1;
  const bool valid = IsValidName(name, &sPoint, &number);
  for (uint32_t opcode : {QVO_OP_VALIDATE_POINT, QVO_OP_CHECK_BLOCK_POINT}) {
    QvoPointAddress block{};
    block.name = name.c_str();
    block.valueCount = count;
    block.pointKind = 0xDEAD;
    block.pointNumber = -77;
    QvoRequest request{nullptr, opcode, 0, 0, &block};
    const QvoStatus status = QvoMain(&request);
    FUZZ_CHECK(block.fifthField == 0 && block.eighthField == 255 && block.ninthField == 16);
    if (!valid) {
      FUZZ_CHECK(status == QVO_STATUS_REJECTED && block.pointKind == 0xDEAD && block.pointNumber == -77);
      continue;
    }
    FUZZ_CHECK(block.pointKind == (sPoint ? 0u : 1u));
    FUZZ_CHECK(block.pointNumber == (sPoint ? -77 : number));
    const bool blockReadable = !sPoint && number == 1 && count >= 0 && count <= 255;
    FUZZ_CHECK(status ==
               (opcode == QVO_OP_VALIDATE_POINT || blockReadable ? QVO_STATUS_OK : QVO_STATUS_REJECTED));
  }
  return 0;
}
