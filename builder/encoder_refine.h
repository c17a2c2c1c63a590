// The delta encoder's last pass: rewrites the matcher's operations toward the
// smallest estimated delta (see encoder_cost.h).
#pragma once

#include <vector>

#include "builder/encoder.h"

// Dense stretches of corrections inside a copy become literal runs, copies that
// cost more than their bytes as literals become literals, and neighbours merge.
// The result covers the new file as `ops` did.
std::vector<DeltaOp> RefineOps(ByteView oldData, ByteView newData, const std::vector<DeltaOp>& ops,
                               const EncoderOptions& options);

// RefineOps in its two passes. The first looks at one copy at a time, so it may
// run on parts of the operations apart; the second weighs each copy against its
// neighbours and runs over the whole list.
std::vector<DeltaOp> SplitDenseCopies(ByteView oldData, ByteView newData,
                                      const std::vector<DeltaOp>& ops, const EncoderOptions& options);
std::vector<DeltaOp> FinishRefining(ByteView oldData, ByteView newData,
                                    const std::vector<DeltaOp>& ops, const EncoderOptions& options);
