// Writes delta bodies (DeltaHeader and eight streams) for the installer's delta
// decoder.
//
// DeltaWriter is the usual form: operations in new-file order, Literal(bytes)
// and Copy(oldPosition, newBytes), where newBytes are the block's bytes in the
// new file. The writer compares them with the old file and chooses the cheapest
// skips, byte adds and word adds itself.
//
// DeltaEncoder is the low-level form for fixtures that must reach exact decoder
// paths: literal runs and copy blocks with explicit patch operations, and its
// streams open to tampering before they are joined.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "builder/format/payload_writer.h"

// Numbers of the delta streams.
void AppendUnsigned(Bytes& stream, uint32_t value);
void AppendSigned(Bytes& stream, int32_t value);

// The eight streams of a delta, in the order their offsets stand in the header.
struct DeltaStreamBytes {
  Bytes literalFlags, patchBits, lengths, positions, patchCounts, skips, literals, addends;
};

// The delta body: a DeltaHeader locating the streams, which follow it in order.
Bytes JoinDeltaStreams(const DeltaStreamBytes& streams);

enum class PatchKind { Skip, ByteAdd, WordAdd };

// One patch operation of a copy block. Skip: `value` is the number of bytes the
// cursor moves (at least 1). ByteAdd: the addend byte. WordAdd: the 16-bit addend.
struct PatchOp {
  PatchKind kind;
  uint32_t value;
  bool operator==(const PatchOp& other) const {
    return kind == other.kind && value == other.value;
  }
};

// Appends a bit stream, top bit first; the last byte is padded with zeros.
class BitWriter {
 public:
  void Put(bool bit);
  const Bytes& bytes() const { return bytes_; }

 private:
  Bytes bytes_;
  int used_ = 8;  // bits used in the last byte
};

class DeltaEncoder {
 public:
  // A literal run (at least one byte). Two runs in a row cannot be expressed:
  // a copy block must follow, or the delta ends.
  void LiteralRun(const Bytes& bytes);
  // A copy block of `length` bytes starting `distance` bytes after the end of
  // the previous block (signed). The operations must follow the decoder's
  // order: a byte add is followed by a skip, a skip by an addition. `patchCount`
  // overrides the number written (0 or negative: the block stays unchanged).
  void CopyBlock(uint32_t length, int32_t distance, const std::vector<PatchOp>& ops,
                 std::optional<uint32_t> patchCount = std::nullopt);
  // The streams so far, with the bit streams flushed.
  DeltaStreamBytes Streams() const;
  Bytes Finish() const { return JoinDeltaStreams(Streams()); }

 private:
  BitWriter literalFlags_, patchBits_;
  DeltaStreamBytes streams_;
  bool afterLiteral_ = false;
};

// The cheapest patch operations that turn `oldBlock` into `newBlock`.
std::vector<PatchOp> DiffBlock(const uint8_t* oldBlock, const uint8_t* newBlock,
                               uint32_t length);

class DeltaWriter {
 public:
  // The writer keeps a pointer to the old file's bytes: they must outlive it.
  explicit DeltaWriter(const Bytes& old) : DeltaWriter(old.data(), old.size()) {}
  explicit DeltaWriter(Bytes&&) = delete;
  DeltaWriter(const uint8_t* old, size_t oldSize) : old_(old), oldSize_(oldSize) {}

  void Literal(const uint8_t* bytes, size_t length);
  void Literal(const Bytes& bytes) { Literal(bytes.data(), bytes.size()); }
  // The next `length` new bytes come from the old file at `oldPosition`, with
  // whatever differs corrected. Throws std::out_of_range outside the old file.
  void Copy(uint32_t oldPosition, const uint8_t* newBytes, size_t length);
  void Copy(uint32_t oldPosition, const Bytes& newBytes) {
    Copy(oldPosition, newBytes.data(), newBytes.size());
  }
  Bytes Finish();

 private:
  void FlushLiteral();

  const uint8_t* old_;
  size_t oldSize_;
  DeltaEncoder encoder_;
  Bytes pendingLiteral_;
  int64_t oldEnd_ = 0;
};

