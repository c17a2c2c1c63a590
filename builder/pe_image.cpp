#include "builder/pe_image.h"
#include "builder/hex.h"

#include <cstring>
#include <utility>

namespace {

constexpr uint32_t kDosLfanewOffset = 0x3C;
constexpr uint32_t kFileHeaderSize = 20;
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kMaxSections = 96;
constexpr uint16_t kMagicPe32 = 0x10B;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint32_t kScnCode = 0x20;
constexpr uint32_t kScnInitializedData = 0x40;
constexpr uint32_t kScnExecute = 0x20000000;

// Optional header fields at the same offsets in PE32 and PE32+.
constexpr uint32_t kOptSizeOfInitializedData = 8;
constexpr uint32_t kOptSectionAlignment = 32;
constexpr uint32_t kOptFileAlignment = 36;
constexpr uint32_t kOptSizeOfImage = 56;
constexpr uint32_t kOptSizeOfHeaders = 60;
constexpr uint32_t kOptCheckSum = 64;

// Section header fields.
constexpr uint32_t kSecVirtualSize = 8;
constexpr uint32_t kSecVirtualAddress = 12;
constexpr uint32_t kSecRawSize = 16;
constexpr uint32_t kSecRawOffset = 20;
constexpr uint32_t kSecCharacteristics = 36;

const char* const kDirectoryNames[16] = {
    "export", "import", "resource", "exception", "certificate", "base relocation",
    "debug", "architecture", "global pointer", "TLS", "load configuration",
    "bound import", "import address table", "delay import", "CLR runtime", "reserved"};

[[noreturn]] void Fail(const std::string& what) { throw PeError(what); }

bool IsPowerOfTwo(uint32_t value) { return value && !(value & (value - 1)); }

uint64_t AlignUp(uint64_t value, uint64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

// Checked little-endian reads at fixed offsets of the whole file.
class HeaderReader {
 public:
  explicit HeaderReader(ByteView file) : file_(file) {}

  uint32_t U32(uint32_t offset, const char* what) const {
    if (!file_.Contains(offset, 4)) Fail(std::string(what) + " lies past the end of the file");
    return LoadLe32(file_.data + offset);
  }
  uint16_t U16(uint32_t offset, const char* what) const {
    if (!file_.Contains(offset, 2)) Fail(std::string(what) + " lies past the end of the file");
    return LoadLe16(file_.data + offset);
  }

 private:
  ByteView file_;
};

void ReadHeaders(PeImage& image, const HeaderReader& read, ByteView file) {
  if (file.size < 64 || file.data[0] != 'M' || file.data[1] != 'Z')
    Fail("not a PE program: no MZ header");
  const uint32_t peOffset = read.U32(kDosLfanewOffset, "PE header offset");
  if (!file.Contains(peOffset, 4 + kFileHeaderSize))
    Fail("PE header at " + Hex(peOffset) + " lies past the end of the file");
  if (LoadLe32(file.data + peOffset) != 0x00004550) Fail("no PE signature at " + Hex(peOffset));
  if (peOffset % 8 != 0) Fail("PE header at " + Hex(peOffset) + " is not 8-byte aligned");

  const uint32_t fileHeader = peOffset + 4;
  const uint16_t sectionCount = read.U16(fileHeader + 2, "section count");
  if (read.U32(fileHeader + 8, "symbol table pointer") != 0)
    Fail("the program carries a COFF symbol table (strip it first)");
  const uint16_t optionalSize = read.U16(fileHeader + 16, "optional header size");
  if (sectionCount == 0 || sectionCount > kMaxSections)
    Fail("unexpected section count " + std::to_string(sectionCount));

  const uint32_t opt = fileHeader + kFileHeaderSize;
  if (!file.Contains(opt, optionalSize))
    Fail("optional header at " + Hex(opt) + " runs past the end of the file");
  image.optionalHeaderOffset = opt;
  const uint16_t magic = read.U16(opt, "optional header magic");
  if (magic != kMagicPe32 && magic != kMagicPe32Plus)
    Fail("unknown optional header magic " + Hex(magic));
  image.pe32Plus = magic == kMagicPe32Plus;
  const uint32_t countField = image.pe32Plus ? 108 : 92;
  image.dataDirectoryOffset = countField + 4 + opt;
  if (optionalSize < countField + 4) Fail("optional header too short");
  image.dataDirectoryCount = read.U32(opt + countField, "data directory count");
  if (image.dataDirectoryCount <= kDirectorySecurity || image.dataDirectoryCount > 16 ||
      optionalSize < countField + 4 + 8 * image.dataDirectoryCount)
    Fail("unexpected data directory count " + std::to_string(image.dataDirectoryCount));

  image.checksumOffset = opt + kOptCheckSum;
  image.sectionAlignment = read.U32(opt + kOptSectionAlignment, "section alignment");
  image.fileAlignment = read.U32(opt + kOptFileAlignment, "file alignment");
  image.sizeOfHeaders = read.U32(opt + kOptSizeOfHeaders, "header size");
  if (!IsPowerOfTwo(image.fileAlignment) || !IsPowerOfTwo(image.sectionAlignment) ||
      image.fileAlignment > image.sectionAlignment)
    Fail("unexpected alignments: file " + Hex(image.fileAlignment) + ", sections " +
         Hex(image.sectionAlignment));

  const uint32_t table = opt + optionalSize;
  if (!file.Contains(table, uint32_t(sectionCount) * kSectionHeaderSize))
    Fail("section table at " + Hex(table) + " runs past the end of the file");
  image.headersEnd = table + sectionCount * kSectionHeaderSize;
  if (image.headersEnd > image.sizeOfHeaders || image.sizeOfHeaders > file.size)
    Fail("header size " + Hex(image.sizeOfHeaders) + " does not cover the section table");

  for (uint32_t i = 0; i < sectionCount; ++i) {
    const uint32_t h = table + i * kSectionHeaderSize;
    PeSection section;
    const char* name = reinterpret_cast<const char*>(file.data + h);
    section.name.assign(name, strnlen(name, 8));
    section.headerOffset = h;
    section.virtualSize = LoadLe32(file.data + h + kSecVirtualSize);
    section.virtualAddress = LoadLe32(file.data + h + kSecVirtualAddress);
    section.rawSize = LoadLe32(file.data + h + kSecRawSize);
    section.rawOffset = LoadLe32(file.data + h + kSecRawOffset);
    section.characteristics = LoadLe32(file.data + h + kSecCharacteristics);
    image.sections.push_back(section);
  }
}

void CheckSections(PeImage& image, ByteView file) {
  image.firstRawOffset = file.size;
  uint64_t previousEnd = 0;
  for (const PeSection& section : image.sections) {
    const std::string name = "section " + std::to_string(&section - &image.sections[0]) + " (" +
                             section.name + ")";
    if (section.rawSize != 0) {
      if (!file.Contains(section.rawOffset, section.rawSize))
        Fail(name + ": data at " + Hex(section.rawOffset) + " run past the end of the file");
      if (section.rawOffset < image.sizeOfHeaders)
        Fail(name + ": data at " + Hex(section.rawOffset) + " overlap the headers");
      if (section.rawOffset < image.firstRawOffset) image.firstRawOffset = section.rawOffset;
    }
    const uint32_t extent = section.virtualSize ? section.virtualSize : section.rawSize;
    if (section.virtualAddress < previousEnd)
      Fail(name + ": address " + Hex(section.virtualAddress) + " overlaps the previous section");
    previousEnd = uint64_t(section.virtualAddress) + extent;
  }
}

// The resource section must be the last one in memory and in the file, and
// hold nothing but the resource tree, so that it can grow in place.
void LocateResources(PeImage& image, ByteView file) {
  const uint32_t dirs = image.dataDirectoryOffset;
  const uint32_t rva = LoadLe32(file.data + dirs + 8 * kDirectoryResource);
  const uint32_t size = LoadLe32(file.data + dirs + 8 * kDirectoryResource + 4);
  if (rva == 0 || size == 0) Fail("the program has no resources");
  const PeSection& last = image.sections.back();
  const uint64_t lastEnd = uint64_t(last.virtualAddress) + (last.virtualSize ? last.virtualSize : last.rawSize);
  if (rva != last.virtualAddress)
    Fail("the resource section (at " + Hex(rva) + ") is not the last section");
  if (size > lastEnd - rva) Fail("the resource directory runs past its section");
  if (last.rawSize == 0) Fail("the resource section has no data in the file");
  if (last.characteristics & (kScnCode | kScnExecute))
    Fail("the resource section (" + last.name + ") holds code");
  for (const PeSection& section : image.sections) {
    if (&section != &last && section.rawSize != 0 &&
        uint64_t(section.rawOffset) + section.rawSize > last.rawOffset)
      Fail("section " + section.name + " lies after the resource section in the file");
  }
  for (uint32_t i = 0; i < image.dataDirectoryCount; ++i) {
    if (i == kDirectoryResource || i == kDirectorySecurity) continue;
    const uint32_t otherRva = LoadLe32(file.data + dirs + 8 * i);
    const uint32_t otherSize = LoadLe32(file.data + dirs + 8 * i + 4);
    if (otherRva != 0 && uint64_t(otherRva) + otherSize > last.virtualAddress && otherRva < lastEnd)
      Fail(std::string("the ") + kDirectoryNames[i] + " directory lies in the resource section");
  }
}

// After the last section only a certificate table and zero padding may follow:
// anything else would be lost by the rebuild.
void CheckTrailer(PeImage& image, ByteView file) {
  const uint32_t dirs = image.dataDirectoryOffset;
  const PeSection& last = image.sections.back();
  const uint32_t end = last.rawOffset + last.rawSize;
  image.certificateOffset = LoadLe32(file.data + dirs + 8 * kDirectorySecurity);
  image.certificateSize = LoadLe32(file.data + dirs + 8 * kDirectorySecurity + 4);
  if (image.certificateSize != 0) {
    if (image.certificateOffset < end || !file.Contains(image.certificateOffset, image.certificateSize))
      Fail("certificate table at " + Hex(image.certificateOffset) +
           " does not lie after the last section inside the file");
  }
  for (uint32_t offset = end; offset < file.size; ++offset) {
    const bool inCertificate = image.certificateSize != 0 && offset >= image.certificateOffset &&
                               offset - image.certificateOffset < image.certificateSize;
    if (!inCertificate && file.data[offset] != 0)
      Fail(std::to_string(file.size - end) + " bytes of unknown data after the last section (at " +
           Hex(end) + ")");
  }
}

}  // namespace

PeImage ParsePeImage(Bytes bytes) {
  if (bytes.size() > 0x7FFFFFFF) Fail("file too large for a PE program");
  PeImage image;
  image.file = std::move(bytes);
  const ByteView file{image.file.data(), uint32_t(image.file.size())};
  const HeaderReader read(file);
  ReadHeaders(image, read, file);
  CheckSections(image, file);
  LocateResources(image, file);
  CheckTrailer(image, file);
  const PeSection& last = image.sections.back();
  // Resource data must lie in the section's file data and in its memory extent.
  uint32_t readable = last.rawSize;
  if (last.virtualSize != 0 && last.virtualSize < readable) readable = last.virtualSize;
  image.resources = ParseResourceTree(file.Slice(last.rawOffset, readable), last.virtualAddress,
                                      last.rawOffset);
  return image;
}

Bytes RebuildPeImage(const PeImage& image, const ResourceTree& resources,
                     std::vector<std::string>& warnings) {
  const PeSection& last = image.ResourceSection();
  const Bytes section = BuildResourceSection(resources, last.virtualAddress);
  const uint32_t alignment = image.fileAlignment < 4 ? 4 : image.fileAlignment;
  const uint64_t rawSize = AlignUp(section.size(), alignment);
  const uint64_t imageSize = AlignUp(uint64_t(last.virtualAddress) + section.size(), image.sectionAlignment);
  if (last.rawOffset + rawSize > 0x7FFFFFFF || imageSize > 0xFFFFFFFFu)
    Fail("the program would grow too large");

  Bytes out;
  out.reserve(size_t(last.rawOffset + rawSize));  // a payload of megabytes is copied once
  out.assign(image.file.begin(), image.file.begin() + last.rawOffset);
  out.insert(out.end(), section.begin(), section.end());
  out.resize(size_t(last.rawOffset + rawSize), 0);

  uint8_t* sectionHeader = &out[last.headerOffset];
  StoreLe32(sectionHeader + kSecVirtualSize, uint32_t(section.size()));
  StoreLe32(sectionHeader + kSecRawSize, uint32_t(rawSize));

  uint8_t* opt = &out[image.optionalHeaderOffset];
  StoreLe32(opt + kOptSizeOfImage, uint32_t(imageSize));
  if (last.characteristics & kScnInitializedData) {
    const int64_t initialized = int64_t(LoadLe32(opt + kOptSizeOfInitializedData)) +
                                int64_t(rawSize) - int64_t(last.rawSize);
    StoreLe32(opt + kOptSizeOfInitializedData, uint32_t(initialized < 0 ? 0 : initialized));
  }

  uint8_t* dirs = &out[image.dataDirectoryOffset];
  StoreLe32(dirs + 8 * kDirectoryResource + 4, uint32_t(section.size()));
  if (image.certificateSize != 0)
    warnings.push_back("the program's signature (certificate table) was dropped: sign the result after packing");
  StoreLe32(dirs + 8 * kDirectorySecurity, 0);
  StoreLe32(dirs + 8 * kDirectorySecurity + 4, 0);

  UpdatePeChecksum(out, image.checksumOffset);
  return out;
}

uint32_t ComputePeChecksum(ByteView file, uint32_t checksumOffset) {
  uint64_t sum = 0;
  for (uint32_t i = 0; i < file.size; i += 2) {
    if (i >= checksumOffset && i - checksumOffset < 4) continue;
    uint32_t word = file.data[i];
    if (i + 1 < file.size) word |= uint32_t(file.data[i + 1]) << 8;
    sum += word;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return uint32_t(sum + file.size);
}

void UpdatePeChecksum(Bytes& file, uint32_t checksumOffset) {
  const uint32_t checksum = ComputePeChecksum(ByteView{file.data(), uint32_t(file.size())}, checksumOffset);
  StoreLe32(&file[checksumOffset], checksum);
}
