#include "patch/crc32.h"

#if (defined(__i386__) || defined(__x86_64__)) && defined(__GNUC__)
#define SP_CRC_FOLDING 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace {

struct CrcTables {
  uint32_t entry[kCrcTableCount][256];
};

constexpr CrcTables MakeCrcTables() {
  CrcTables tables{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t v = i << 24;
    for (int bit = 0; bit < 8; ++bit) v = (v & 0x80000000u) ? (v << 1) ^ 0x04C11DB7u : v << 1;
    tables.entry[0][i] = v;
  }
  for (int k = 1; k < kCrcTableCount; ++k)
    for (uint32_t i = 0; i < 256; ++i) {
      const uint32_t previous = tables.entry[k - 1][i];
      tables.entry[k][i] = (previous << 8) ^ tables.entry[0][previous >> 24];
    }
  return tables;
}

constexpr CrcTables kCrcTables = MakeCrcTables();
static_assert(kCrcTables.entry[0][1] == 0x04C11DB7u, "one-byte table");

inline uint32_t LoadBe32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

}  // namespace

const uint32_t* CrcTables() { return &kCrcTables.entry[0][0]; }

uint32_t Crc32ByteLoop(const uint8_t* data, uint32_t length) {
  const uint32_t* table = kCrcTables.entry[0];
  uint32_t crc = 0xFFFFFFFFu;
  for (uint32_t i = 0; i < length; ++i) crc = (crc << 8) ^ table[(crc >> 24) ^ data[i]];
  return ~crc;
}

namespace {

// Continues `crc` (the register before its final XOR) over `length` bytes.
uint32_t Crc32Tables(uint32_t crc, const uint8_t* data, uint32_t length) {
  const uint32_t(*t)[256] = kCrcTables.entry;
  // Eight bytes per step: the first four are folded into the running CRC, and
  // every byte takes the table for the number of bytes that follow it.
  while (length >= 8) {
    const uint32_t high = crc ^ LoadBe32(data);
    crc = t[7][high >> 24] ^ t[6][(high >> 16) & 0xFF] ^ t[5][(high >> 8) & 0xFF] ^
          t[4][high & 0xFF] ^ t[3][data[4]] ^ t[2][data[5]] ^ t[1][data[6]] ^ t[0][data[7]];
    data += 8;
    length -= 8;
  }
  while (length--) crc = (crc << 8) ^ t[0][(crc >> 24) ^ *data++];
  return crc;
}

#ifdef SP_CRC_FOLDING

// x^n mod the polynomial, bit i standing for x^i.
constexpr uint32_t PowerOfXMod(int n) {
  uint32_t r = 1;
  for (int i = 0; i < n; ++i) r = (r << 1) ^ ((r & 0x80000000u) ? 0x04C11DB7u : 0);
  return r;
}

// Whether the processor multiplies without carries (and shuffles bytes) and
// the system saves the XMM registers across task switches. Systems that
// predate the extended save area (and processors without the instructions)
// take the tables.
bool CanFold() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  const unsigned kPclmul = 1u << 1, kSsse3 = 1u << 9;
  if ((c & (kPclmul | kSsse3)) != (kPclmul | kSsse3)) return false;
#if defined(__x86_64__)
  return true;  // every 64-bit system saves them
#else
  const unsigned kOsXsave = 1u << 27;
  if (!(c & kOsXsave)) return false;
  unsigned low, high;
  __asm__ volatile(".byte 0x0f, 0x01, 0xd0" : "=a"(low), "=d"(high) : "c"(0));  // xgetbv
  return (low & 2) != 0;  // XMM state enabled
#endif
}

#if defined(__i386__)
#define SP_ALIGN_STACK __attribute__((force_align_arg_pointer))
#else
#define SP_ALIGN_STACK
#endif

// The sixteen bytes of `x` in reverse order: between memory's order and the
// polynomial's, both ways.
__attribute__((target("pclmul,ssse3"))) inline __m128i Reversed(__m128i x) {
  return _mm_shuffle_epi8(x, _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
}

// Sixteen bytes as one polynomial, the first byte's top bit as x^127.
__attribute__((target("pclmul,ssse3"))) inline __m128i LoadBlock(const uint8_t* data) {
  return Reversed(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data)));
}

// `x` moved on by the bits that `k` stands for and reduced to fewer than 96
// bits: its high half times k's high constant, its low half times the low one.
__attribute__((target("pclmul,ssse3"))) inline __m128i Fold(__m128i x, __m128i k) {
  return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x11), _mm_clmulepi64_si128(x, k, 0x00));
}

// The register after `length` (64 or more) bytes, from the initial value.
// Four running remainders take 64 bytes per step, each folded 512 bits on;
// they are folded into one, which takes the remaining blocks, and the tables
// finish over its 16 bytes and the tail: what is folded stays congruent to the
// bytes read, so the CRC is the same.
__attribute__((target("pclmul,ssse3"))) SP_ALIGN_STACK uint32_t Crc32Folded(const uint8_t* data,
                                                                             uint32_t length) {
  constexpr uint32_t k576 = PowerOfXMod(576), k512 = PowerOfXMod(512);
  constexpr uint32_t k192 = PowerOfXMod(192), k128 = PowerOfXMod(128);
  const __m128i by512 = _mm_set_epi32(0, int(k576), 0, int(k512));
  const __m128i by128 = _mm_set_epi32(0, int(k192), 0, int(k128));
  // Four variables rather than an array: kept in registers even where the
  // compiler optimizes for size.
  __m128i x0 = _mm_xor_si128(LoadBlock(data), _mm_set_epi32(-1, 0, 0, 0));  // the initial value
  __m128i x1 = LoadBlock(data + 16), x2 = LoadBlock(data + 32), x3 = LoadBlock(data + 48);
  data += 64;
  length -= 64;
  for (; length >= 64; data += 64, length -= 64) {
    x0 = _mm_xor_si128(Fold(x0, by512), LoadBlock(data));
    x1 = _mm_xor_si128(Fold(x1, by512), LoadBlock(data + 16));
    x2 = _mm_xor_si128(Fold(x2, by512), LoadBlock(data + 32));
    x3 = _mm_xor_si128(Fold(x3, by512), LoadBlock(data + 48));
  }
  __m128i folded = _mm_xor_si128(Fold(x0, by128), x1);
  folded = _mm_xor_si128(Fold(folded, by128), x2);
  folded = _mm_xor_si128(Fold(folded, by128), x3);
  for (; length >= 16; data += 16, length -= 16) folded = _mm_xor_si128(Fold(folded, by128), LoadBlock(data));
  uint8_t bytes[16];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(bytes), Reversed(folded));
  return Crc32Tables(Crc32Tables(0, bytes, 16), data, length);
}

#endif

}  // namespace

uint32_t Crc32(const uint8_t* data, uint32_t length) {
#ifdef SP_CRC_FOLDING
  // Asking the processor costs about as much as a few hundred bytes by table.
  if (length >= kCrcFoldingFrom && CanFold()) return ~Crc32Folded(data, length);
#endif
  return Crc32WithTables(data, length);
}

uint32_t Crc32WithTables(const uint8_t* data, uint32_t length) {
  return ~Crc32Tables(0xFFFFFFFFu, data, length);
}
