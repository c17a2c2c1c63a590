// The delta encoder's matcher: finds the copy blocks of the new file in the old
// one and leaves literal runs between them.
#pragma once

#include <vector>

#include "builder/encoder.h"
#include "builder/encoder_index.h"

// The operations for new[begin, neu.size) over the old file, whose index and
// gram filter are built: blocks and literal runs in new-file order, before
// refinement. The caller cuts `neu` where this part of the new file ends.
std::vector<DeltaOp> MatchBlocks(ByteView old, ByteView neu, uint32_t begin, const OldIndex& index,
                                 const GramFilter& grams, const EncoderOptions& options);
