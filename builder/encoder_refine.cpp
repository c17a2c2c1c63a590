#include "builder/encoder_refine.h"

#include <algorithm>

#include "builder/encoder_cost.h"

namespace {

// How a copy's pieces end, as the forward pass leaves them.
struct Ending {
  uint32_t lastCorrectionEnd;  // offset after the last correction
  bool tailIsLiteral;          // the bytes after it become a literal
  bool lastIsLiteral;          // the last correction becomes literal bytes
};

// Chooses, correction by correction, whether each part of a copy stays a block
// or becomes a literal run: a Viterbi pass over the two states, switching only
// next to corrections.
class CopySplitter {
 public:
  explicit CopySplitter(const EncoderOptions& options)
      : options_(options),
        literalByte_(options.literalByteBits),
        enterLiteral_(LiteralBits(1, options) - options.literalByteBits),
        enterBlock_(BlockHeaderBits(1, 1, 1, options)) {}

  // Writes the pieces of `copy` (from `old` into `neu`) to `out`.
  void Split(ByteView old, ByteView neu, const DeltaOp& copy, std::vector<DeltaOp>& out) {
    corrections_.clear();
    ForEachCorrection(old.data + copy.oldPosition, neu.data + copy.newOffset, copy.length,
                      [&](const Correction& c) { corrections_.push_back(c); });
    if (corrections_.empty()) {
      out.push_back(copy);
      return;
    }
    MarkLiterals(copy.length, ChooseStates(copy.length));
    EmitMarked(copy, out);
  }

 private:
  // The forward pass: per correction, the cheapest way to reach it in each state
  // and which state that way came from (choices_: bit 0, the gap before it was
  // crossed as a block coming from a literal; bit 1, the correction as a literal
  // came from a block).
  Ending ChooseStates(uint32_t length) {
    choices_.resize(corrections_.size());
    double inBlock = 0, inLiteral = enterLiteral_;
    uint32_t previousEnd = 0;
    for (size_t j = 0; j < corrections_.size(); ++j) {
      const Correction& c = corrections_[j];
      const uint32_t gap = c.offset - previousEnd;
      const bool blockFromLiteral = inLiteral + enterBlock_ < inBlock;
      const double gapBlock = blockFromLiteral ? inLiteral + enterBlock_ : inBlock;
      const double gapLiteral = inLiteral + gap * literalByte_;
      uint32_t operations = 0;
      const double asBlock = gapBlock + CorrectionBits(c, previousEnd, options_, operations);
      const bool literalFromBlock = gapBlock + enterLiteral_ < gapLiteral;
      const double asLiteral =
          (literalFromBlock ? gapBlock + enterLiteral_ : gapLiteral) + c.width * literalByte_;
      choices_[j] = uint8_t((blockFromLiteral ? 1 : 0) | (literalFromBlock ? 2 : 0));
      inBlock = asBlock;
      inLiteral = asLiteral;
      previousEnd = c.offset + c.width;
    }
    // The tail: a literal either runs to the copy's end or hands over to a block.
    const uint32_t tail = length - previousEnd;
    const double endBlock = std::min(inBlock, inLiteral + enterBlock_);
    const bool tailIsLiteral = inLiteral + tail * literalByte_ < endBlock;
    return Ending{previousEnd, tailIsLiteral, tailIsLiteral || inLiteral + enterBlock_ < inBlock};
  }

  // The backward pass: follows the choices from the end, marking the bytes that
  // become literal.
  void MarkLiterals(uint32_t length, const Ending& ending) {
    literal_.assign(length, false);
    if (ending.tailIsLiteral)
      for (uint32_t i = ending.lastCorrectionEnd; i < length; ++i) literal_[i] = true;
    bool inLiteral = ending.lastIsLiteral;
    for (size_t j = corrections_.size(); j-- > 0;) {
      const Correction& c = corrections_[j];
      const uint32_t gapStart = j ? corrections_[j - 1].offset + corrections_[j - 1].width : 0;
      if (!inLiteral) {
        inLiteral = choices_[j] & 1;
        continue;
      }
      for (uint32_t i = c.offset; i < c.offset + c.width; ++i) literal_[i] = true;
      const bool fromBlock = choices_[j] & 2;
      if (!fromBlock)
        for (uint32_t i = gapStart; i < c.offset; ++i) literal_[i] = true;
      inLiteral = fromBlock ? (choices_[j] & 1) != 0 : true;
    }
  }

  // Writes `copy` as alternating blocks and literal runs following the marks.
  void EmitMarked(const DeltaOp& copy, std::vector<DeltaOp>& out) const {
    uint32_t start = 0;
    while (start < copy.length) {
      const bool isLiteral = literal_[start];
      uint32_t end = start + 1;
      while (end < copy.length && literal_[end] == isLiteral) ++end;
      if (isLiteral)
        out.push_back(DeltaOp{DeltaOp::kLiteral, copy.newOffset + start, end - start, 0});
      else
        out.push_back(DeltaOp{DeltaOp::kCopy, copy.newOffset + start, end - start,
                              copy.oldPosition + start});
      start = end;
    }
  }

  const EncoderOptions& options_;
  const double literalByte_, enterLiteral_, enterBlock_;
  std::vector<Correction> corrections_;
  std::vector<uint8_t> choices_;
  std::vector<bool> literal_;
};

// Turns copies into literals where the literal bytes are estimated cheaper.
std::vector<DeltaOp> DropExpensiveCopies(ByteView old, ByteView neu, const std::vector<DeltaOp>& ops,
                                         const EncoderOptions& options) {
  std::vector<DeltaOp> out;
  int64_t oldEnd = 0;
  for (size_t i = 0; i < ops.size(); ++i) {
    DeltaOp op = ops[i];
    if (op.kind == DeltaOp::kCopy) {
      const double copyBits = EstimateCopyBits(old.data + op.oldPosition, neu.data + op.newOffset,
                                               op.length, int64_t(op.oldPosition) - oldEnd, options);
      // As a literal it joins its neighbouring literals, sparing their headers.
      double literalBits = options.literalByteBits * op.length;
      const bool joinsBefore = !out.empty() && out.back().kind == DeltaOp::kLiteral;
      const bool joinsAfter = i + 1 < ops.size() && ops[i + 1].kind == DeltaOp::kLiteral;
      if (!joinsBefore && !joinsAfter) literalBits = LiteralBits(op.length, options);
      if (joinsBefore && joinsAfter) literalBits -= LiteralBits(1, options);
      if (literalBits < copyBits) {
        op.kind = DeltaOp::kLiteral;
        op.oldPosition = 0;
      } else {
        oldEnd = int64_t(op.oldPosition) + op.length;
      }
    }
    out.push_back(op);
  }
  return out;
}

// Joins neighbouring literals, and neighbouring copies whose old bytes follow
// each other.
std::vector<DeltaOp> Merge(const std::vector<DeltaOp>& ops) {
  std::vector<DeltaOp> out;
  for (const DeltaOp& op : ops) {
    if (!out.empty()) {
      DeltaOp& last = out.back();
      const bool sameKind = last.kind == op.kind;
      const bool contiguous =
          op.kind == DeltaOp::kLiteral || last.oldPosition + last.length == op.oldPosition;
      if (sameKind && contiguous) {
        last.length += op.length;
        continue;
      }
    }
    out.push_back(op);
  }
  return out;
}

}  // namespace

std::vector<DeltaOp> SplitDenseCopies(ByteView oldData, ByteView newData,
                                      const std::vector<DeltaOp>& ops, const EncoderOptions& options) {
  CopySplitter splitter(options);
  std::vector<DeltaOp> split;
  for (const DeltaOp& op : ops) {
    if (op.kind == DeltaOp::kCopy)
      splitter.Split(oldData, newData, op, split);
    else
      split.push_back(op);
  }
  return split;
}

std::vector<DeltaOp> FinishRefining(ByteView oldData, ByteView newData,
                                    const std::vector<DeltaOp>& ops, const EncoderOptions& options) {
  return Merge(DropExpensiveCopies(oldData, newData, Merge(ops), options));
}

std::vector<DeltaOp> RefineOps(ByteView oldData, ByteView newData, const std::vector<DeltaOp>& ops,
                               const EncoderOptions& options) {
  return FinishRefining(oldData, newData, SplitDenseCopies(oldData, newData, ops, options), options);
}
