#include "builder/code_page.h"

#include <cerrno>
#include <stdexcept>

CodePageConverter::CodePageConverter(int codepage, Direction direction) {
  const std::string name = "CP" + std::to_string(codepage);
  handle_ = codepage <= 0                ? iconv_t(-1)
            : direction == FromUtf8     ? iconv_open(name.c_str(), "UTF-8")
                                         : iconv_open("UTF-8", name.c_str());
  if (handle_ == iconv_t(-1)) throw std::runtime_error("unknown code page " + std::to_string(codepage));
}

CodePageConverter::~CodePageConverter() { iconv_close(handle_); }

std::optional<size_t> CodePageConverter::Convert(std::string_view text, size_t from, std::string& out) {
  char* in = const_cast<char*>(text.data()) + from;
  size_t inLeft = text.size() - from;
  char buffer[256];
  while (inLeft > 0) {
    char* next = buffer;
    size_t outLeft = sizeof buffer;
    const size_t result = iconv(handle_, &in, &inLeft, &next, &outLeft);
    out.append(buffer, size_t(next - buffer));
    if (result == size_t(-1) && errno != E2BIG) {
      iconv(handle_, nullptr, nullptr, nullptr, nullptr);
      return size_t(in - text.data());
    }
  }
  char* next = buffer;
  size_t outLeft = sizeof buffer;
  iconv(handle_, nullptr, nullptr, &next, &outLeft);  // back to the initial shift state
  out.append(buffer, size_t(next - buffer));
  return std::nullopt;
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
