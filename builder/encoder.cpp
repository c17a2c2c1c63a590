#include "builder/encoder.h"

#include <algorithm>
#include <atomic>
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

// Runs work(0) to work(parts - 1) on `threads` threads (the caller's among
// them), each thread taking the next part not yet taken when it is free: parts
// of uneven cost keep every thread busy to the end. Returns when all are done,
// passing on an exception of the first thread that threw one.
template <typename Work>
void RunParts(uint32_t parts, uint32_t threads, const Work& work) {
  std::atomic<uint32_t> next{0};
  const auto share = [&] {
    for (uint32_t part; (part = next.fetch_add(1)) < parts;) work(part);
  };
  std::vector<std::future<void>> others;
  for (uint32_t thread = 1; thread < std::min(threads, parts); ++thread)
    others.push_back(std::async(std::launch::async, share));
  share();
  for (std::future<void>& other : others) other.get();
}

// Where part `part` of `parts` equal parts of `size` bytes starts.
uint32_t PartStart(uint32_t size, uint32_t parts, uint32_t part) {
  return uint32_t(uint64_t(size) * part / parts);
}

}  // namespace

std::vector<DeltaOp> EncodeDelta(ByteView oldData, ByteView newData, const EncoderOptions& options) {
  if (oldData.size >= 0x80000000u || newData.size >= 0x80000000u)
    throw std::length_error("files of 2 GiB or more cannot be delta-encoded");
  if (newData.size == 0) return {};
  if (oldData.size == 0) return {DeltaOp{DeltaOp::kLiteral, 0, newData.size, 0}};
  // The index and the filter of the old file are built side by side, then the
  // parts of the new file are matched. (The index is not split further: its
  // links are written in position order, and parts that took ranges of hashes
  // would share nearly every cache line.)
  const uint32_t threads = EncoderThreads(options);
  // The parts are fixed by the size, so the result depends neither on timing
  // nor on the number of threads.
  const uint32_t partBytes = std::max<uint32_t>(options.matchPartBytes, 1);
  const uint32_t parts = std::max<uint32_t>(1, newData.size / partBytes);
  std::vector<std::vector<DeltaOp>> matched(parts);
  {
    // The tables live only while blocks are matched and split: the last pass
    // reads the files alone, and its lists of steps take the tables' place at
    // the peak.
    OldIndex index;
    GramFilter grams;
    RunParts(2, threads, [&](uint32_t part) {
      if (part == 0)
        index.Build(oldData, IndexTableBits(oldData.size));
      else
        grams.Build(oldData);
    });
    RunParts(parts, threads, [&](uint32_t part) {
      const uint32_t end = PartStart(newData.size, parts, part + 1);
      matched[part] = SplitDenseCopies(
          oldData, newData,
          MatchBlocks(oldData, ByteView{newData.data, end}, PartStart(newData.size, parts, part),
                      index, grams, options),
          options);
    });
  }
  std::vector<DeltaOp> ops = std::move(matched[0]);
  for (uint32_t part = 1; part < parts; ++part) {
    ops.insert(ops.end(), matched[part].begin(), matched[part].end());
    matched[part] = {};
  }
  return FinishRefining(oldData, newData, ops, options);
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
