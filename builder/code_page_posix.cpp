// Code page conversions through iconv.
#include <iconv.h>

#include <cerrno>

#include "builder/code_page.h"

struct CodePageConverter::State {
  iconv_t handle;
};

CodePageConverter::CodePageConverter(int codepage, Direction direction) {
  const std::string name = "CP" + std::to_string(codepage);
  const iconv_t handle = codepage <= 0          ? iconv_t(-1)
                         : direction == FromUtf8 ? iconv_open(name.c_str(), "UTF-8")
                                                 : iconv_open("UTF-8", name.c_str());
  if (handle == iconv_t(-1)) ThrowUnknownCodePage(codepage);
  state_.reset(new State{handle});
}

CodePageConverter::~CodePageConverter() { iconv_close(state_->handle); }

std::optional<size_t> CodePageConverter::Convert(std::string_view text, size_t from, std::string& out) {
  const iconv_t handle = state_->handle;
  char* in = const_cast<char*>(text.data()) + from;
  size_t inLeft = text.size() - from;
  char buffer[256];
  while (inLeft > 0) {
    char* next = buffer;
    size_t outLeft = sizeof buffer;
    const size_t result = iconv(handle, &in, &inLeft, &next, &outLeft);
    out.append(buffer, size_t(next - buffer));
    if (result == size_t(-1) && errno != E2BIG) {
      iconv(handle, nullptr, nullptr, nullptr, nullptr);
      return size_t(in - text.data());
    }
  }
  char* next = buffer;
  size_t outLeft = sizeof buffer;
  iconv(handle, nullptr, nullptr, &next, &outLeft);  // back to the initial shift state
  out.append(buffer, size_t(next - buffer));
  return std::nullopt;
}
