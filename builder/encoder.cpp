#include "builder/encoder.h"

#include <future>
#include <stdexcept>

#include "builder/encoder_index.h"
#include "builder/encoder_matcher.h"
#include "builder/encoder_refine.h"
#include "builder/format/delta_writer.h"

namespace {

// Chain heads for an old file of `size` bytes: about one per 2 positions.
int IndexTableBits(uint32_t size) {
  int bits = 10;
  while (bits < 26 && (uint64_t(1) << bits) * 2 < size) ++bits;
  return bits;
}

}  // namespace

std::vector<DeltaOp> EncodeDelta(ByteView oldData, ByteView newData, const EncoderOptions& options) {
  if (oldData.size >= 0x80000000u || newData.size >= 0x80000000u)
    throw std::length_error("files of 2 GiB or more cannot be delta-encoded");
  if (newData.size == 0) return {};
  if (oldData.size == 0) return {DeltaOp{DeltaOp::kLiteral, 0, newData.size, 0}};
  // The index and the filter of the old file are built side by side.
  OldIndex index;
  GramFilter grams;
  std::future<void> filter = std::async(std::launch::async, [&] { grams.Build(oldData); });
  index.Build(oldData, IndexTableBits(oldData.size));
  filter.get();
  // Then the two halves of the new file are matched side by side (a fixed
  // split, so the result does not depend on timing).
  const uint32_t middle = newData.size >= options.splitNewFrom ? newData.size / 2 : newData.size;
  std::future<std::vector<DeltaOp>> secondHalf = std::async(std::launch::async, [&] {
    if (middle == newData.size) return std::vector<DeltaOp>();
    return MatchBlocks(oldData, newData, middle, index, grams, options);
  });
  std::vector<DeltaOp> ops =
      MatchBlocks(oldData, ByteView{newData.data, middle}, 0, index, grams, options);
  const std::vector<DeltaOp> rest = secondHalf.get();
  ops.insert(ops.end(), rest.begin(), rest.end());
  return RefineOps(oldData, newData, ops, options);
}

Bytes EncodeDeltaBody(ByteView oldData, ByteView newData, const EncoderOptions& options) {
  DeltaWriter writer(oldData.data, oldData.size);
  for (const DeltaOp& op : EncodeDelta(oldData, newData, options)) {
    const uint8_t* bytes = newData.data + op.newOffset;
    if (op.kind == DeltaOp::kLiteral)
      writer.Literal(bytes, op.length);
    else
      writer.Copy(op.oldPosition, bytes, op.length);
  }
  return writer.Finish();
}
