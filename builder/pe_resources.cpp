#include "builder/pe_resources.h"
#include "builder/hex.h"

#include <set>
#include <utility>
#include <vector>

namespace {

constexpr uint32_t kHighBit = 0x80000000u;
constexpr uint32_t kDirectoryHeaderSize = 16;
constexpr uint32_t kDirectoryEntrySize = 8;
constexpr uint32_t kDataEntrySize = 16;
constexpr int kLanguageLevel = 2;  // levels 0, 1, 2: type, name, language
constexpr uint64_t kMaxSectionSize = 0x7FFFFFFF;

// One directory entry as read: its key and the offset it points at.
struct RawEntry {
  ResourceKey key;
  uint32_t target;
};

class TreeReader {
 public:
  TreeReader(ByteView section, uint32_t sectionRva, uint32_t fileOffset)
      : section_(section), sectionRva_(sectionRva), fileOffset_(fileOffset) {}

  ResourceTree Read() {
    ResourceTree tree;
    for (RawEntry& type : ReadDirectory(0, 0)) {
      ResourceNames& names = tree[type.key];
      for (RawEntry& name : ReadDirectory(type.target, 1)) {
        ResourceLanguages& languages = names[name.key];
        for (RawEntry& language : ReadDirectory(name.target, kLanguageLevel))
          languages[language.key] = ReadData(language.target);
      }
    }
    return tree;
  }

 private:
  [[noreturn]] void Fail(uint32_t offset, const std::string& what) const {
    throw PeError("resource section, file offset " + Hex(fileOffset_ + offset) + ": " + what);
  }

  std::vector<RawEntry> ReadDirectory(uint32_t offset, int level) {
    // Each directory is read once: a second visit means a loop or a shared
    // subtree, neither of which a rebuilt tree could keep.
    if (!visited_.insert(offset).second)
      Fail(offset, "resource directory referenced twice (a loop in the tree)");
    ByteCursor cursor(section_.From(offset));
    uint16_t namedCount = 0, idCount = 0;
    if (!cursor.Skip(12) || !cursor.ReadU16(namedCount) ||
        !cursor.ReadU16(idCount))
      Fail(offset, "resource directory runs past the end of the section");
    const uint32_t count = uint32_t(namedCount) + idCount;
    if (cursor.Remaining() / kDirectoryEntrySize < count)
      Fail(offset, "resource directory entries run past the end of the section");

    std::vector<RawEntry> entries;
    std::set<ResourceKey> keys;
    for (uint32_t i = 0; i < count; ++i) {
      const uint32_t entryOffset = offset + kDirectoryHeaderSize + i * kDirectoryEntrySize;
      uint32_t nameField = 0, target = 0;
      cursor.ReadU32(nameField);
      cursor.ReadU32(target);
      RawEntry entry{ReadKey(nameField, i < namedCount, entryOffset), target & ~kHighBit};
      const bool isDirectory = (target & kHighBit) != 0;
      if (isDirectory != (level < kLanguageLevel))
        Fail(entryOffset, level < kLanguageLevel
                              ? "resource entry points at data where a directory belongs"
                              : "resource tree deeper than type, name and language");
      if (!keys.insert(entry.key).second) Fail(entryOffset, "resource directory entry repeated");
      entries.push_back(std::move(entry));
    }
    return entries;
  }

  ResourceKey ReadKey(uint32_t nameField, bool expectNamed, uint32_t entryOffset) const {
    const bool named = (nameField & kHighBit) != 0;
    if (named != expectNamed)
      Fail(entryOffset, "resource entry named where a number belongs, or numbered where a name belongs");
    if (!named) {
      if (nameField > 0xFFFF) Fail(entryOffset, "resource id above 65535");
      return ResourceKey::Id(uint16_t(nameField));
    }
    const uint32_t nameOffset = nameField & ~kHighBit;
    ByteCursor cursor(section_.From(nameOffset));
    uint16_t length = 0;
    ByteView units{nullptr, 0};
    if (!cursor.ReadU16(length) ||
        !cursor.ReadBytes(uint32_t(length) * 2, units))
      Fail(nameOffset, "resource name runs past the end of the section");
    std::u16string name;
    for (uint32_t i = 0; i < length; ++i) name.push_back(char16_t(LoadLe16(units.data + 2 * i)));
    return ResourceKey::Name(std::move(name));
  }

  ResourceData ReadData(uint32_t offset) const {
    ByteCursor cursor(section_.From(offset));
    uint32_t rva = 0, size = 0, codePage = 0, reserved = 0;
    if (!cursor.ReadU32(rva) || !cursor.ReadU32(size) ||
        !cursor.ReadU32(codePage) || !cursor.ReadU32(reserved))
      Fail(offset, "resource data entry runs past the end of the section");
    if (rva < sectionRva_ || !section_.Contains(rva - sectionRva_, size))
      Fail(offset, "resource data (address " + Hex(rva) + ", " + std::to_string(size) +
                       " bytes) lies outside the resource section");
    ByteView bytes = section_.Slice(rva - sectionRva_, size);
    return ResourceData{Bytes(bytes.data, bytes.data + bytes.size), codePage};
  }

  ByteView section_;
  uint32_t sectionRva_;
  uint32_t fileOffset_;
  std::set<uint32_t> visited_;
};

uint64_t DirectorySize(size_t entries) {
  return kDirectoryHeaderSize + uint64_t(entries) * kDirectoryEntrySize;
}

uint64_t NameSize(const ResourceKey& key) { return key.named ? 2 + 2 * uint64_t(key.name.size()) : 0; }

uint64_t Align(uint64_t value, uint64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

void StoreLe16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}

class SectionWriter {
 public:
  SectionWriter(const ResourceTree& tree, uint32_t sectionRva) : tree_(tree), sectionRva_(sectionRva) {}

  Bytes Write() {
    PlanLayout();
    // Directories breadth-first: the root, every type's directory, every name's.
    std::vector<std::pair<const ResourceKey*, uint32_t>> entries;
    size_t typeIndex = 0, nameIndex = 0;
    for (const auto& type : tree_) entries.emplace_back(&type.first, typeDirectories_[typeIndex++] | kHighBit);
    WriteDirectory(0, entries);
    typeIndex = 0;
    for (const auto& type : tree_) {
      entries.clear();
      for (const auto& name : type.second)
        entries.emplace_back(&name.first, nameDirectories_[nameIndex++] | kHighBit);
      WriteDirectory(typeDirectories_[typeIndex++], entries);
    }
    nameIndex = 0;
    for (const auto& type : tree_) {
      for (const auto& name : type.second) {
        entries.clear();
        for (const auto& language : name.second)
          entries.emplace_back(&language.first, WriteData(language.second));
        WriteDirectory(nameDirectories_[nameIndex++], entries);
      }
    }
    return std::move(out_);
  }

 private:
  void PlanLayout() {
    uint64_t next = DirectorySize(tree_.size());
    uint64_t names = 0, leaves = 0, data = 0;
    for (const auto& type : tree_) {
      typeDirectories_.push_back(uint32_t(next));
      next += DirectorySize(type.second.size());
      names += NameSize(type.first);
      if (next > kMaxSectionSize) throw PeError("resource tree too large");
    }
    for (const auto& type : tree_) {
      for (const auto& name : type.second) {
        nameDirectories_.push_back(uint32_t(next));
        next += DirectorySize(name.second.size());
        names += NameSize(name.first);
        for (const auto& language : name.second) {
          names += NameSize(language.first);
          leaves += 1;
          data += Align(language.second.bytes.size(), 8);
        }
        if (next > kMaxSectionSize) throw PeError("resource tree too large");
      }
    }
    const uint64_t dataEntries = next;
    const uint64_t nameStart = dataEntries + leaves * kDataEntrySize;
    const uint64_t dataStart = Align(nameStart + names, 8);
    if (dataStart + data > kMaxSectionSize || sectionRva_ + (dataStart + data) > 0xFFFFFFFFu)
      throw PeError("resource section too large");
    nextDataEntry_ = uint32_t(dataEntries);
    nextName_ = uint32_t(nameStart);
    nextData_ = uint32_t(dataStart);
    out_.assign(size_t(dataStart + data), 0);
  }

  void WriteDirectory(uint32_t offset,
                      const std::vector<std::pair<const ResourceKey*, uint32_t>>& entries) {
    uint16_t namedCount = 0;
    for (const auto& entry : entries) namedCount += entry.first->named ? 1 : 0;
    uint8_t* p = &out_[offset];
    StoreLe16(p + 12, namedCount);
    StoreLe16(p + 14, uint16_t(entries.size() - namedCount));
    p += kDirectoryHeaderSize;
    for (const auto& entry : entries) {
      StoreLe32(p, WriteKey(*entry.first));
      StoreLe32(p + 4, entry.second);
      p += kDirectoryEntrySize;
    }
  }

  uint32_t WriteKey(const ResourceKey& key) {
    if (!key.named) return key.id;
    const uint32_t offset = nextName_;
    StoreLe16(&out_[offset], uint16_t(key.name.size()));
    for (size_t i = 0; i < key.name.size(); ++i) StoreLe16(&out_[offset + 2 + 2 * i], key.name[i]);
    nextName_ += uint32_t(NameSize(key));
    return offset | kHighBit;
  }

  // Writes a leaf's data and its data entry; returns the entry's offset.
  uint32_t WriteData(const ResourceData& data) {
    const uint32_t entry = nextDataEntry_;
    StoreLe32(&out_[entry], sectionRva_ + nextData_);
    StoreLe32(&out_[entry + 4], uint32_t(data.bytes.size()));
    StoreLe32(&out_[entry + 8], data.codePage);
    std::copy(data.bytes.begin(), data.bytes.end(), out_.begin() + nextData_);
    nextData_ += uint32_t(Align(data.bytes.size(), 8));
    nextDataEntry_ += kDataEntrySize;
    return entry;
  }

  const ResourceTree& tree_;
  uint32_t sectionRva_;
  std::vector<uint32_t> typeDirectories_;
  std::vector<uint32_t> nameDirectories_;
  uint32_t nextDataEntry_ = 0;
  uint32_t nextName_ = 0;
  uint32_t nextData_ = 0;
  Bytes out_;
};

}  // namespace

ResourceTree ParseResourceTree(ByteView section, uint32_t sectionRva, uint32_t fileOffset) {
  return TreeReader(section, sectionRva, fileOffset).Read();
}

Bytes BuildResourceSection(const ResourceTree& tree, uint32_t sectionRva) {
  return SectionWriter(tree, sectionRva).Write();
}

std::string DescribeResourceKey(const ResourceKey& key) {
  if (!key.named) return std::to_string(key.id);
  std::string text = "\"";
  for (char16_t unit : key.name) text += unit < 0x80 ? char(unit) : '?';
  return text + "\"";
}
