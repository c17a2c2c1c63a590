#include "builder/encoder.h"

#include <algorithm>
#include <future>
#include <thread>
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

uint32_t EncoderThreads(const EncoderOptions& options) {
  if (options.threads != 0) return options.threads;
  return std::max(1u, std::thread::hardware_concurrency());
}

// Runs work(0) to work(parts - 1), each on a thread of its own but the first,
// which runs on the caller's; returns when all are done (passing on the first
// exception, by part).
template <typename Work>
void RunParts(uint32_t parts, const Work& work) {
  std::vector<std::future<void>> others;
  for (uint32_t part = 1; part < parts; ++part)
    others.push_back(std::async(std::launch::async, [&work, part] { work(part); }));
  work(0);
  for (std::future<void>& other : others) other.get();
}

}  // namespace

std::vector<DeltaOp> EncodeDelta(ByteView oldData, ByteView newData, const EncoderOptions& options) {
  if (oldData.size >= 0x80000000u || newData.size >= 0x80000000u)
    throw std::length_error("files of 2 GiB or more cannot be delta-encoded");
  if (newData.size == 0) return {};
  if (oldData.size == 0) return {DeltaOp{DeltaOp::kLiteral, 0, newData.size, 0}};
  const uint32_t threads = EncoderThreads(options);
  // The index and the filter of the old file are built in parts side by side.
  OldIndex index;
  GramFilter grams;
  index.Prepare(oldData, IndexTableBits(oldData.size));
  grams.Prepare(oldData);
  RunParts(threads, [&](uint32_t part) {
    index.BuildPart(part, threads);
    grams.BuildPart(part, threads);
  });
  // Then the two halves of the new file are matched, side by side where there
  // are threads for both. The split is fixed by the size, so the result does
  // not depend on timing or on the number of threads.
  const uint32_t middle = newData.size >= options.splitNewFrom ? newData.size / 2 : newData.size;
  std::vector<DeltaOp> halves[2];
  const auto matchHalf = [&](uint32_t half) {
    if (half == 0)
      halves[0] = MatchBlocks(oldData, ByteView{newData.data, middle}, 0, index, grams, options);
    else if (middle != newData.size)
      halves[1] = MatchBlocks(oldData, newData, middle, index, grams, options);
  };
  RunParts(std::min<uint32_t>(threads, 2), [&](uint32_t part) {
    for (uint32_t half = part; half < 2; half += std::min<uint32_t>(threads, 2)) matchHalf(half);
  });
  std::vector<DeltaOp>& ops = halves[0];
  ops.insert(ops.end(), halves[1].begin(), halves[1].end());
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
