#include "builder/format/delta_writer.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>

#include "patch/delta.h"

void AppendUnsigned(Bytes& stream, uint32_t value) {
  int groups = 1;
  while (groups < 5 && (value >> (7 * groups)) != 0) ++groups;
  for (int g = groups - 1; g > 0; --g) stream.push_back(uint8_t(0x80 | ((value >> (7 * g)) & 0x7F)));
  stream.push_back(uint8_t(value & 0x7F));
}

void AppendSigned(Bytes& stream, int32_t value) {
  const bool negative = value < 0;
  const uint32_t magnitude = negative ? ~uint32_t(value) : uint32_t(value);
  const uint32_t high = magnitude >> 6;  // the part in leading bytes, 7 bits each
  int groups = 0;
  while (groups < 4 && (high >> (7 * groups)) != 0) ++groups;
  for (int g = groups - 1; g >= 0; --g) stream.push_back(uint8_t(0x80 | ((high >> (7 * g)) & 0x7F)));
  stream.push_back(uint8_t((negative ? 0x40 : 0) | (magnitude & 0x3F)));
}

Bytes JoinDeltaStreams(const DeltaStreamBytes& streams) {
  const Bytes* parts[] = {&streams.literalFlags, &streams.patchBits,   &streams.lengths,
                          &streams.positions,    &streams.patchCounts, &streams.skips,
                          &streams.literals,     &streams.addends};
  Bytes body(kDeltaHeaderSize);
  for (int i = 0; i < 8; ++i) {
    StoreLe32(body.data() + 4 * i, uint32_t(body.size()));
    body.insert(body.end(), parts[i]->begin(), parts[i]->end());
  }
  return body;
}

void BitWriter::Put(bool bit) {
  if (used_ == 8) {
    bytes_.push_back(0);
    used_ = 0;
  }
  if (bit) bytes_.back() |= uint8_t(0x80 >> used_);
  ++used_;
}

void DeltaEncoder::LiteralRun(const Bytes& bytes) {
  if (bytes.empty()) throw std::invalid_argument("empty literal run");
  if (afterLiteral_) throw std::invalid_argument("two literal runs in a row");
  literalFlags_.Put(true);
  AppendUnsigned(streams_.lengths, uint32_t(bytes.size() - 1));
  streams_.literals.insert(streams_.literals.end(), bytes.begin(), bytes.end());
  afterLiteral_ = true;
}

void DeltaEncoder::CopyBlock(uint32_t length, int32_t distance, const std::vector<PatchOp>& ops,
                             std::optional<uint32_t> patchCount) {
  if (length == 0) throw std::invalid_argument("empty copy block");
  if (!afterLiteral_) literalFlags_.Put(false);
  afterLiteral_ = false;
  AppendUnsigned(streams_.lengths, length - 1);
  AppendSigned(streams_.positions, distance);
  AppendUnsigned(streams_.patchCounts, patchCount ? *patchCount : uint32_t(ops.size()));

  enum { Choose, SkipNext, AddNext } state = Choose;
  for (size_t i = 0; i < ops.size(); ++i) {
    const PatchOp& op = ops[i];
    if (state == Choose) {
      patchBits_.Put(op.kind != PatchKind::Skip);
      if (op.kind != PatchKind::Skip) patchBits_.Put(op.kind == PatchKind::WordAdd);
    } else if ((state == SkipNext) != (op.kind == PatchKind::Skip)) {
      throw std::invalid_argument("patch operations out of order");
    }
    switch (op.kind) {
      case PatchKind::Skip: {
        if (op.value == 0) throw std::invalid_argument("a skip moves at least one byte");
        AppendUnsigned(streams_.skips, op.value - 1);
        const bool wordNext = i + 1 < ops.size() && ops[i + 1].kind == PatchKind::WordAdd;
        patchBits_.Put(wordNext);
        state = AddNext;
        break;
      }
      case PatchKind::ByteAdd:
        streams_.addends.push_back(uint8_t(op.value));
        state = SkipNext;
        break;
      case PatchKind::WordAdd:
        streams_.addends.push_back(uint8_t(op.value));
        streams_.addends.push_back(uint8_t(op.value >> 8));
        state = Choose;
        break;
    }
  }
}

DeltaStreamBytes DeltaEncoder::Streams() const {
  DeltaStreamBytes streams = streams_;
  streams.literalFlags = literalFlags_.bytes();
  streams.patchBits = patchBits_.bytes();
  return streams;
}

namespace {

int UnsignedSize(uint32_t value) {
  Bytes bytes;
  AppendUnsigned(bytes, value);
  return int(bytes.size());
}

// Cost in bits of reaching an addition `gap` bytes after the end of the last
// one: a skip (number and its control bit) if gap > 0, and the choose bit(s)
// when the previous operation left the state at "choose".
int64_t GapCost(uint32_t gap, bool choosing) {
  if (gap == 0) return choosing ? 2 : -1;  // after a byte add a skip is required
  return (choosing ? 1 : 0) + 8 * UnsignedSize(gap - 1) + 1;
}

}  // namespace

// Dynamic programme over the changed bytes. Every addition starts at a changed
// byte; a byte add covers it, a word add covers it and the next byte. The state
// after covering changes [0, i) is how the last addition ended.
std::vector<PatchOp> DiffBlock(const uint8_t* oldBlock, const uint8_t* newBlock, uint32_t length) {
  std::vector<uint32_t> changed;
  for (uint32_t p = 0; p < length; ++p)
    if (oldBlock[p] != newBlock[p]) changed.push_back(p);
  const size_t m = changed.size();
  if (m == 0) return {};

  // Tails: 0 nothing yet (end 0, choosing), 1 byte add ending at changed[i-1]+1,
  // 2 word add ending at changed[i-1]+1 (it covered changed[i-2] too), 3 word
  // add ending at changed[i-1]+2. The tail also tells where the addition began:
  // tail 2 at changed[i-2], tails 1 and 3 at changed[i-1].
  constexpr uint64_t kNone = std::numeric_limits<uint64_t>::max();
  std::vector<uint64_t> cost((m + 1) * 4, kNone);  // bits to cover changes [0, i)
  std::vector<uint8_t> fromTail((m + 1) * 4, 0);    // the tail before the last addition
  cost[0] = 0;
  auto tailEnd = [&](size_t i, int tail) -> uint32_t {
    if (tail == 0) return 0;
    return changed[i - 1] + (tail == 3 ? 2 : 1);
  };
  auto relax = [&](size_t i, int tail, uint64_t bits, int previousTail) {
    if (bits < cost[i * 4 + tail]) {
      cost[i * 4 + tail] = bits;
      fromTail[i * 4 + tail] = uint8_t(previousTail);
    }
  };
  for (size_t i = 0; i < m; ++i) {
    for (int tail = 0; tail < 4; ++tail) {
      const uint64_t bits = cost[i * 4 + tail];
      if (bits == kNone) continue;
      const uint32_t position = changed[i];
      const int64_t gap = GapCost(position - tailEnd(i, tail), tail != 1);
      if (gap < 0) continue;
      relax(i + 1, 1, bits + uint64_t(gap) + 8, tail);
      if (length - position >= 2) {
        const bool pair = i + 1 < m && changed[i + 1] == position + 1;
        relax(pair ? i + 2 : i + 1, pair ? 2 : 3, bits + uint64_t(gap) + 16, tail);
      }
    }
  }
  int tail = 1;
  for (int other = 2; other < 4; ++other)
    if (cost[m * 4 + other] < cost[m * 4 + tail]) tail = other;

  // Walk back to collect the additions, then emit them front to back.
  struct Addition {
    size_t fromIndex;  // changes covered before it
    int fromTail;
    bool word;
  };
  std::vector<Addition> additions;
  for (size_t i = m; i > 0;) {
    const size_t from = tail == 2 ? i - 2 : i - 1;
    additions.push_back({from, fromTail[i * 4 + tail], tail != 1});
    tail = fromTail[i * 4 + tail];
    i = from;
  }
  std::reverse(additions.begin(), additions.end());

  std::vector<PatchOp> ops;
  for (const Addition& add : additions) {
    const uint32_t position = changed[add.fromIndex];
    const uint32_t end = tailEnd(add.fromIndex, add.fromTail);
    if (position > end) ops.push_back({PatchKind::Skip, position - end});
    if (add.word) {
      const uint16_t oldWord = LoadLe16(oldBlock + position);
      const uint16_t newWord = LoadLe16(newBlock + position);
      ops.push_back({PatchKind::WordAdd, uint16_t(newWord - oldWord)});
    } else {
      ops.push_back({PatchKind::ByteAdd, uint8_t(newBlock[position] - oldBlock[position])});
    }
  }
  return ops;
}

void DeltaWriter::Literal(const uint8_t* bytes, size_t length) {
  pendingLiteral_.insert(pendingLiteral_.end(), bytes, bytes + length);
}

void DeltaWriter::FlushLiteral() {
  if (pendingLiteral_.empty()) return;
  encoder_.LiteralRun(pendingLiteral_);
  pendingLiteral_.clear();
}

void DeltaWriter::Copy(uint32_t oldPosition, const uint8_t* newBytes, size_t length) {
  if (length == 0) return;
  if (oldPosition > oldSize_ || oldSize_ - oldPosition < length)
    throw std::out_of_range("copy block outside the old file");
  FlushLiteral();
  const int64_t distance = int64_t(oldPosition) - oldEnd_;
  if (distance < INT32_MIN || distance > INT32_MAX)
    throw std::out_of_range("copy block too far from the previous one");
  encoder_.CopyBlock(uint32_t(length), int32_t(distance),
                     DiffBlock(old_ + oldPosition, newBytes, uint32_t(length)));
  oldEnd_ = int64_t(oldPosition) + int64_t(length);
}

Bytes DeltaWriter::Finish() {
  FlushLiteral();
  return encoder_.Finish();
}
