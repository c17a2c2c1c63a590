// A second decoder of delta bodies, kept deliberately plain: written from the
// format's description alone and sharing no code with patch/delta.cpp, so that
// the two can be run side by side on the same bytes and compared. Positions are
// 64-bit indices into std::vectors and every byte is fetched through one checked
// accessor; nothing here is tuned for speed.
//
// Format, as this decoder reads it: a 32-byte header of eight little-endian
// offsets (literal flags, patch bits, lengths, positions, patch counts, skips,
// literals, addends), each counted from the body's first byte. The length
// stream ends at the positions offset; the others run to the end of the body.
// Bits are taken from the top bit of a byte down. Unsigned numbers: 7 bits per
// byte, most significant first, 0x80 set on every byte but the last. Signed
// numbers: the same, but the last byte holds the sign in 0x40 and 6 bits of the
// magnitude m in 0x3F; a set sign means -(m + 1). Numbers take at most 5 bytes.
#pragma once

#include <stdint.h>

#include <vector>

namespace reference {

struct DecodedDelta {
  std::vector<uint8_t> bytes;  // what was produced before the end or the fault
  bool complete = false;       // false: the delta broke a limit and decoding stopped
};

class DeltaDecoder {
 public:
  DeltaDecoder(const std::vector<uint8_t>& body, const std::vector<uint8_t>& old, uint64_t outputCap)
      : body_(body), old_(old), cap_(outputCap) {}

  DecodedDelta Run() {
    DecodedDelta result;
    result.complete = Decode(result.bytes);
    return result;
  }

 private:
  // A byte of the body below `limit` (the end of its stream).
  bool ByteAt(uint64_t at, uint64_t limit, uint8_t& value) const {
    if (at >= limit || at >= body_.size()) return false;
    value = body_[at];
    return true;
  }

  bool Offset(int index, uint64_t& value) const {
    value = 0;
    for (int i = 3; i >= 0; --i) {
      uint8_t byte;
      if (!ByteAt(uint64_t(4 * index + i), body_.size(), byte)) return false;
      value = value << 8 | byte;
    }
    return true;
  }

  struct Bits {
    uint64_t start;
    uint64_t taken = 0;
  };

  bool Bit(Bits& bits, uint32_t& bit) {
    uint8_t byte;
    if (!ByteAt(bits.start + bits.taken / 8, body_.size(), byte)) return false;
    bit = (byte >> (7 - bits.taken % 8)) & 1;
    bits.taken += 1;
    return true;
  }

  bool Unsigned(uint64_t& at, uint64_t limit, uint32_t& value) {
    uint64_t result = 0;
    for (int count = 1; count <= 5; ++count) {
      uint8_t byte;
      if (!ByteAt(at, limit, byte)) return false;
      at += 1;
      result = (result << 7 | (byte & 0x7F)) & 0xFFFFFFFFu;
      if (!(byte & 0x80)) {
        value = uint32_t(result);
        return true;
      }
    }
    return false;
  }

  bool Signed(uint64_t& at, int64_t& value) {
    uint64_t magnitude = 0;
    for (int count = 1; count <= 5; ++count) {
      uint8_t byte;
      if (!ByteAt(at, body_.size(), byte)) return false;
      at += 1;
      if (byte & 0x80) {
        magnitude = (magnitude << 7 | (byte & 0x7F)) & 0xFFFFFFFFu;
        continue;
      }
      magnitude = (magnitude << 6 | (byte & 0x3F)) & 0xFFFFFFFFu;
      // The ones' complement of a 32-bit magnitude, read as a signed 32-bit number.
      const uint32_t bits = (byte & 0x40) ? uint32_t(~magnitude) : uint32_t(magnitude);
      value = bits >= 0x80000000u ? int64_t(bits) - 0x100000000LL : int64_t(bits);
      return true;
    }
    return false;
  }

  bool Append(std::vector<uint8_t>& out, const std::vector<uint8_t>& bytes) const {
    if (out.size() + bytes.size() > cap_) return false;
    out.insert(out.end(), bytes.begin(), bytes.end());
    return true;
  }

  bool Decode(std::vector<uint8_t>& out) {
    uint64_t offsets[8];
    for (int i = 0; i < 8; ++i)
      if (!Offset(i, offsets[i])) return false;
    Bits literalFlags{offsets[0]}, patchBits{offsets[1]};
    uint64_t lengths = offsets[2];
    const uint64_t lengthsEnd = offsets[3];
    uint64_t positions = offsets[3], patchCounts = offsets[4], skips = offsets[5];
    uint64_t literals = offsets[6], addends = offsets[7];
    int64_t oldEnd = 0;

    while (lengths < lengthsEnd) {
      uint32_t literal;
      if (!Bit(literalFlags, literal)) return false;
      if (literal) {
        uint32_t runMinusOne;
        if (!Unsigned(lengths, lengthsEnd, runMinusOne)) return false;
        std::vector<uint8_t> run;
        for (uint64_t i = 0; i < uint64_t(runMinusOne) + 1; ++i) {
          uint8_t byte;
          if (!ByteAt(literals + i, body_.size(), byte)) return false;
          run.push_back(byte);
        }
        literals += run.size();
        if (!Append(out, run)) return false;
        if (lengths >= lengthsEnd) return true;
      }

      uint32_t blockMinusOne, patchCount;
      int64_t distance;
      if (!Unsigned(lengths, lengthsEnd, blockMinusOne) || !Signed(positions, distance)) return false;
      const uint64_t length = uint64_t(blockMinusOne) + 1;
      const int64_t start = oldEnd + distance;
      if (start < 0 || uint64_t(start) + length > old_.size()) return false;
      std::vector<uint8_t> block(old_.begin() + start, old_.begin() + start + int64_t(length));
      oldEnd = start + int64_t(length);
      if (!Unsigned(patchCounts, body_.size(), patchCount)) return false;

      // A count that is 0 or negative as a signed 32-bit number leaves the block alone.
      enum { Choose, Skip, ByteAdd, WordAdd } next = Choose;
      uint64_t cursor = 0;
      for (int64_t done = 0; done < int64_t(int32_t(patchCount)); ++done) {
        auto operation = next;
        if (next == Choose) {
          uint32_t first, second;
          if (!Bit(patchBits, first)) return false;
          operation = Skip;
          if (first) {
            if (!Bit(patchBits, second)) return false;
            operation = second ? WordAdd : ByteAdd;
          }
        }
        if (operation == Skip) {
          uint32_t skipMinusOne, kind;
          if (!Unsigned(skips, body_.size(), skipMinusOne)) return false;
          cursor += uint64_t(skipMinusOne) + 1;
          if (cursor > length) return false;
          if (!Bit(patchBits, kind)) return false;
          next = kind ? WordAdd : ByteAdd;
        } else if (operation == ByteAdd) {
          uint8_t addend;
          if (cursor + 1 > length || !ByteAt(addends, body_.size(), addend)) return false;
          block[cursor] = uint8_t((block[cursor] + addend) % 256);
          addends += 1;
          cursor += 1;
          next = Skip;
        } else {
          uint8_t low, high;
          if (cursor + 2 > length || !ByteAt(addends, body_.size(), low) ||
              !ByteAt(addends + 1, body_.size(), high))
            return false;
          const uint32_t word = uint32_t(block[cursor] + 256 * block[cursor + 1]);
          const uint32_t sum = (word + low + 256u * high) % 65536;
          block[cursor] = uint8_t(sum % 256);
          block[cursor + 1] = uint8_t(sum / 256);
          addends += 2;
          cursor += 2;
          next = Choose;
        }
      }
      if (!Append(out, block)) return false;
    }
    return true;
  }

  const std::vector<uint8_t>& body_;
  const std::vector<uint8_t>& old_;
  uint64_t cap_;
};

inline DecodedDelta DecodeDelta(const std::vector<uint8_t>& body, const std::vector<uint8_t>& old,
                                uint64_t outputCap) {
  return DeltaDecoder(body, old, outputCap).Run();
}

}  // namespace reference
