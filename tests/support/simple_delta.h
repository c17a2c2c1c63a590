// A simple, correct delta for test fixtures, apart from the builder's encoder:
// fixtures that should not change with the encoder's choices use it.
#pragma once

#include "builder/format/payload_writer.h"

// A delta of `newContent` over `old`: copies of matching stretches (tolerating
// a few changed bytes inside them) and literals for the rest.
Bytes SimpleDelta(const Bytes& old, const Bytes& newContent);
