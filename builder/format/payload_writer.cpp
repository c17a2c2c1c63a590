#include "builder/format/payload_writer.h"

#include <zlib.h>

#include <stdexcept>

Bytes CompressZlib(const Bytes& content, int level) {
  uLongf size = compressBound(uLong(content.size()));
  Bytes out(size);
  if (compress2(out.data(), &size, content.data(), uLong(content.size()), level) != Z_OK)
    throw std::runtime_error("zlib compression failed");
  out.resize(size);
  return out;
}

void AppendRawPayloadEntry(Bytes& payload, const std::string& name, const Bytes& data) {
  payload.insert(payload.end(), name.begin(), name.end());
  payload.push_back(0);
  const uint32_t length = uint32_t(data.size());
  for (int shift = 0; shift < 32; shift += 8) payload.push_back(uint8_t(length >> shift));
  payload.insert(payload.end(), data.begin(), data.end());
}

void AppendPayloadEntry(Bytes& payload, const std::string& name, const Bytes& content) {
  AppendRawPayloadEntry(payload, name, content.empty() ? Bytes{} : CompressZlib(content));
}
