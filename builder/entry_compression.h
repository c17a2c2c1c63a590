// The zlib streams of payload entries, made on all processors. An entry is cut
// into chunks of kDeflateChunkSize bytes, each compressed on its own with the
// 32 KiB before it as its dictionary and ended by an empty stored block (as
// zlib's sync flush does), so that the chunks join into one stream that any
// inflate reads. The cut depends on the content's size only, so the stream is
// the same whatever the number of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "patch/bytes.h"
#include "builder/format/payload_writer.h"

constexpr size_t kDeflateChunkSize = size_t(256) << 10;
// zopfli is tried only on entries up to this size: it takes about 4 s per MiB
// and core at 15 iterations for some 3 % less than zlib level 9, a trade worth
// making on the usual small patch but not on hundreds of megabytes.
constexpr size_t kZopfliLargestEntry = size_t(8) << 20;

struct CompressionOptions {
  // Iterations of the zopfli encoder, tried besides zlib level 9 on each chunk
  // of an entry up to kZopfliLargestEntry (the smaller chunk wins); 0 uses
  // zlib alone.
  int zopfliIterations = 15;
  unsigned threads = 0;  // 0: one per processor
  // Called after each chunk, in order, one call at a time.
  std::function<void(size_t done, size_t total)> onChunkDone;
};

// A zlib stream of `content` that the installer's inflate reads. Each chunk is
// inflated back and compared before it is used.
Bytes CompressEntry(const Bytes& content, const CompressionOptions& options);
