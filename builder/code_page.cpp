#include "builder/code_page.h"

#include <stdexcept>

void ThrowUnknownCodePage(int codepage) {
  throw std::runtime_error("unknown code page " + std::to_string(codepage));
}

namespace {

bool IsChineseOrKoreanLeadByte(unsigned char byte) { return byte >= 0x81 && byte <= 0xFE; }

}  // namespace

LeadByteTest LeadByteTestFor(int codepage) {
  switch (codepage) {
    case 932:
      return IsShiftJisLeadByte;
    case 936:
    case 949:
    case 950:
      return IsChineseOrKoreanLeadByte;
    default:
      return nullptr;
  }
}
