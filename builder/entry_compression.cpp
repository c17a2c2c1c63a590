#include "builder/entry_compression.h"

#include <zlib.h>
#include <zopfli/deflate.h>
#include <zopfli/zopfli.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "builder/host.h"
#include "builder/parallel.h"

namespace {

constexpr size_t kWindow = 32768;
constexpr int kLevel = 9;
// The zlib header that compress2 writes at level 9: deflate, 32 KiB window,
// "maximum compression".
constexpr uint8_t kZlibHeader[] = {0x78, 0xDA};
// An empty stored block after the 3 header bits written by the caller: the
// stream is then on a byte boundary, where the next chunk starts.
constexpr uint8_t kStoredBlockLengths[] = {0x00, 0x00, 0xFF, 0xFF};

// One chunk: content[start, end) with the window before it as history.
struct Chunk {
  const uint8_t* history;
  size_t historySize;
  const uint8_t* data;
  size_t size;
  bool last;
};

Chunk ChunkAt(const Bytes& content, size_t index) {
  const size_t start = index * kDeflateChunkSize;
  const size_t end = std::min(content.size(), start + kDeflateChunkSize);
  const size_t historySize = std::min(start, kWindow);
  return {content.data() + start - historySize, historySize, content.data() + start, end - start,
          end == content.size()};
}

class RawDeflater {
 public:
  explicit RawDeflater(const Chunk& chunk) {
    if (deflateInit2(&stream_, kLevel, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
      throw std::runtime_error("zlib deflate could not start");
    if (chunk.historySize > 0)
      deflateSetDictionary(&stream_, chunk.history, uInt(chunk.historySize));
  }
  ~RawDeflater() { deflateEnd(&stream_); }

  Bytes Compress(const Chunk& chunk) {
    Bytes out(deflateBound(&stream_, uLong(chunk.size)) + 16);
    stream_.next_in = const_cast<Bytef*>(chunk.data);
    stream_.avail_in = uInt(chunk.size);
    stream_.next_out = out.data();
    stream_.avail_out = uInt(out.size());
    const int status = deflate(&stream_, chunk.last ? Z_FINISH : Z_SYNC_FLUSH);
    if (status != (chunk.last ? Z_STREAM_END : Z_OK) || stream_.avail_in != 0)
      throw std::runtime_error("zlib deflate failed");
    out.resize(out.size() - stream_.avail_out);
    return out;
  }

 private:
  z_stream stream_{};
};

Bytes DeflateChunk(const Chunk& chunk) { return RawDeflater(chunk).Compress(chunk); }

// Appends the three zero header bits of a stored block at bit `bitPosition` of
// the last byte, pads to the byte's end and adds the block's lengths.
void AppendEmptyStoredBlock(Bytes& out, unsigned char bitPosition) {
  if (bitPosition == 0 || bitPosition > 5) out.push_back(0);
  out.insert(out.end(), std::begin(kStoredBlockLengths), std::end(kStoredBlockLengths));
}

Bytes ZopfliChunk(const Chunk& chunk, int iterations) {
  ZopfliOptions options;
  ZopfliInitOptions(&options);
  options.numiterations = iterations;
  unsigned char bitPosition = 0;
  unsigned char* out = nullptr;
  size_t outSize = 0;
  ZopfliDeflatePart(&options, 2, chunk.last ? 1 : 0, chunk.history, chunk.historySize,
                    chunk.historySize + chunk.size, &bitPosition, &out, &outSize);
  Bytes result(out, out + outSize);
  std::free(out);
  if (!chunk.last) AppendEmptyStoredBlock(result, bitPosition);
  return result;
}

// Inflates a chunk's raw deflate data with its history and compares it with
// the chunk. A chunk that is not last must end on a block boundary with all of
// its bytes out.
bool InflatesBack(const Chunk& chunk, const Bytes& compressed) {
  z_stream stream{};
  if (inflateInit2(&stream, -15) != Z_OK) return false;
  if (chunk.historySize > 0) inflateSetDictionary(&stream, chunk.history, uInt(chunk.historySize));
  Bytes out(chunk.size + 1);
  stream.next_in = const_cast<Bytef*>(compressed.data());
  stream.avail_in = uInt(compressed.size());
  stream.next_out = out.data();
  stream.avail_out = uInt(out.size());
  const int status = inflate(&stream, Z_SYNC_FLUSH);
  const size_t produced = out.size() - stream.avail_out;
  const bool ended = chunk.last ? status == Z_STREAM_END : status == Z_OK || status == Z_BUF_ERROR;
  const bool whole = ended && stream.avail_in == 0 && produced == chunk.size &&
                     std::equal(out.begin(), out.begin() + produced, chunk.data);
  inflateEnd(&stream);
  return whole;
}

Bytes BestChunk(const Chunk& chunk, int zopfliIterations) {
  Bytes best = DeflateChunk(chunk);
  if (!InflatesBack(chunk, best)) throw std::runtime_error("compressed data do not inflate back to the original");
  if (zopfliIterations > 0) {
    Bytes candidate = ZopfliChunk(chunk, zopfliIterations);
    if (candidate.size() < best.size() && InflatesBack(chunk, candidate)) best = std::move(candidate);
  }
  return best;
}

void AppendBigEndian32(Bytes& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(value >> shift));
}

uint32_t Adler32Of(const Bytes& content) {
  uLong adler = adler32(0, nullptr, 0);
  for (size_t at = 0; at < content.size(); at += kDeflateChunkSize)
    adler = adler32(adler, content.data() + at, uInt(std::min(kDeflateChunkSize, content.size() - at)));
  return uint32_t(adler);
}

}  // namespace

Bytes CompressEntry(const Bytes& content, const CompressionOptions& options) {
  const size_t chunks = std::max<size_t>(1, (content.size() + kDeflateChunkSize - 1) / kDeflateChunkSize);
  const int iterations = content.size() <= kZopfliLargestEntry ? options.zopfliIterations : 0;
  std::vector<Bytes> compressed(chunks);
  ParallelInOrder(
      chunks, options.threads, [&](size_t i) { compressed[i] = BestChunk(ChunkAt(content, i), iterations); },
      [&](size_t i) {
        if (options.onChunkDone) options.onChunkDone(i + 1, chunks);
      });
  // Joined in one allocation of the exact size: a growing stream would need
  // half as much again whenever it moved.
  size_t size = sizeof kZlibHeader + 4;
  for (const Bytes& chunk : compressed) size += chunk.size();
  Bytes stream;
  stream.reserve(size);
  stream.assign(std::begin(kZlibHeader), std::end(kZlibHeader));
  for (Bytes& chunk : compressed) {
    stream.insert(stream.end(), chunk.begin(), chunk.end());
    Bytes().swap(chunk);
  }
  AppendBigEndian32(stream, Adler32Of(content));
  ReleaseFreeMemory();  // the chunks, as large as the stream together
  return stream;
}
