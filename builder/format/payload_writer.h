// Writes the installer's payload container: entries of a NUL-terminated name,
// a 32-bit little-endian length and that many bytes of a zlib stream.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// A zlib stream (RFC 1950) of `content`, as the installer inflates it.
Bytes CompressZlib(const Bytes& content, int level = 9);

// Appends one entry. Empty content writes an entry of length 0 (no file).
void AppendPayloadEntry(Bytes& payload, const std::string& name, const Bytes& content);

// Appends one entry whose data are taken as they are (already compressed, or
// deliberately damaged in tests).
void AppendRawPayloadEntry(Bytes& payload, const std::string& name, const Bytes& data);
