// Numbers in hexadecimal for the tool's messages and listings.
#pragma once

#include <cstdint>
#include <string>

// "0x1F": offsets and fields in error messages.
std::string Hex(uint64_t value);
// "0x0000001F": fixed-width columns (CRCs, offsets in listings).
std::string Hex8(uint32_t value);
