// A delta decoder output that writes to a stdio file, for tests.
#pragma once

#include <cstdio>

#include "patch/delta.h"

// Decoded bytes are gathered in `buffer` of `capacity` bytes before each fwrite.
DeltaOutput ToStdio(std::FILE* file, uint8_t* buffer, uint32_t capacity);
