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
