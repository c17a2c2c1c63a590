// Checked access to untrusted bytes. Every read goes through ByteCursor, whose
// reads fail (and leave the cursor where it was) when the bytes are not there.
// Bounds are tested as subtractions (size - offset >= n) so they cannot overflow.
#pragma once

#include <stdint.h>
#include <stddef.h>

inline uint32_t LoadLe32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline uint16_t LoadLe16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

inline void StoreLe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

// A read-only range of bytes: a view into a mapped file or a resource.
struct ByteView {
  const uint8_t* data;
  uint32_t size;

  bool Contains(uint32_t offset, uint32_t length) const {
    return offset <= size && size - offset >= length;
  }
  // The sub-range [offset, offset + length); empty when it does not fit.
  ByteView Slice(uint32_t offset, uint32_t length) const {
    if (!Contains(offset, length)) return ByteView{data, 0};
    return ByteView{data + offset, length};
  }
  ByteView From(uint32_t offset) const {
    if (offset > size) return ByteView{data, 0};
    return ByteView{data + offset, size - offset};
  }
};

// A cursor over a ByteView. Reads either succeed completely or change nothing.
struct ByteCursor {
  ByteView view;
  uint32_t position;

  explicit ByteCursor(ByteView v) : view(v), position(0) {}

  uint32_t Remaining() const { return view.size - position; }
  bool AtEnd() const { return position >= view.size; }
  const uint8_t* Here() const { return view.data + position; }

  bool Skip(uint32_t count) {
    if (Remaining() < count) return false;
    position += count;
    return true;
  }
  bool PeekU8(uint8_t& value) const {
    if (Remaining() < 1) return false;
    value = view.data[position];
    return true;
  }
  bool ReadU8(uint8_t& value) {
    if (!PeekU8(value)) return false;
    position += 1;
    return true;
  }
  bool ReadU16(uint16_t& value) {
    if (Remaining() < 2) return false;
    value = LoadLe16(Here());
    position += 2;
    return true;
  }
  bool ReadU32(uint32_t& value) {
    if (Remaining() < 4) return false;
    value = LoadLe32(Here());
    position += 4;
    return true;
  }
  // Takes `count` bytes as a view of their own.
  bool ReadBytes(uint32_t count, ByteView& bytes) {
    if (Remaining() < count) return false;
    bytes = ByteView{Here(), count};
    position += count;
    return true;
  }
  // A NUL-terminated text that ends inside the view: `text` points at its first
  // byte, `length` excludes the NUL, and the cursor moves past the NUL.
  bool ReadCString(const char*& text, uint32_t& length) {
    for (uint32_t i = position; i < view.size; ++i) {
      if (view.data[i] == 0) {
        text = reinterpret_cast<const char*>(Here());
        length = i - position;
        position = i + 1;
        return true;
      }
    }
    return false;
  }
};
