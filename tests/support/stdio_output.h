// A delta decoder output that writes to a stdio file, for tests.
#pragma once

#include <cstdio>

#include "patch/delta.h"

DeltaOutput ToStdio(std::FILE* file);
