// The resource tree of a PE image: types, names and languages, each a number
// or a UTF-16 name, with the data at the leaves. Parsed with checked reads from
// a resource section and laid out again as a new one.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>

#include "builder/format/payload_writer.h"
#include "patch/bytes.h"

// Input that the PE reader or writer does not understand or cannot handle.
class PeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A resource type, name or language. Within a directory the named entries come
// first, in ordinal order of their UTF-16 units, then the numbered ones in
// ascending order: the order the loader's binary search expects.
struct ResourceKey {
  bool named = false;
  uint16_t id = 0;
  std::u16string name;

  static ResourceKey Id(uint16_t id) { return ResourceKey{false, id, {}}; }
  static ResourceKey Name(std::u16string name) { return ResourceKey{true, 0, std::move(name)}; }

  bool operator<(const ResourceKey& other) const {
    if (named != other.named) return named;
    return named ? name < other.name : id < other.id;
  }
  bool operator==(const ResourceKey& other) const {
    return named == other.named && id == other.id && name == other.name;
  }
};

struct ResourceData {
  Bytes bytes;
  uint32_t codePage = 0;

  bool operator==(const ResourceData& other) const {
    return bytes == other.bytes && codePage == other.codePage;
  }
};

using ResourceLanguages = std::map<ResourceKey, ResourceData>;
using ResourceNames = std::map<ResourceKey, ResourceLanguages>;
using ResourceTree = std::map<ResourceKey, ResourceNames>;

// Resource types and languages used by the installer.
constexpr uint16_t kRtRcdata = 10;
constexpr uint16_t kLangNeutral = 0;
constexpr uint16_t kLangEnglishUs = 1033;

// Parses the three-level tree of a resource section. `section` holds the
// section's bytes (the directory at its start), `sectionRva` is its address in
// the image; every data entry must point inside the section. `fileOffset` is
// where the section starts in the file, used only to name offsets in errors.
// Throws PeError naming the fault and its file offset.
ResourceTree ParseResourceTree(ByteView section, uint32_t sectionRva, uint32_t fileOffset);

// Lays out `tree` as the contents of a resource section at `sectionRva`:
// directories breadth-first, then the data entries, the names (2-aligned) and
// the data (8-aligned). The result's size is a multiple of 4.
Bytes BuildResourceSection(const ResourceTree& tree, uint32_t sectionRva);

// "RT_RCDATA/100/0" or "\"NAME\"/...": a key path for messages.
std::string DescribeResourceKey(const ResourceKey& key);
