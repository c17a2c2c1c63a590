// The PE resource reader and writer: round trips through the installer program
// that the tool carries, and refusal of damaged or unsupported programs built by
// mutating it.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "builder/pack.h"
#include "builder/pack_stub.h"
#include "builder/pe_image.h"

namespace {

ByteView View(const Bytes& bytes) { return ByteView{bytes.data(), uint32_t(bytes.size())}; }

Bytes Stub() {
  const ByteView stub = EmbeddedStub();
  return Bytes(stub.data, stub.data + stub.size);
}

#define REQUIRE_STUB()                                                        \
  if (EmbeddedStub().size == 0) GTEST_SKIP() << "installer program not built"

uint32_t Le32(const Bytes& bytes, uint32_t offset) { return LoadLe32(&bytes[offset]); }

void StoreLe16(uint8_t* p, uint16_t value) {
  p[0] = uint8_t(value);
  p[1] = uint8_t(value >> 8);
}

const ResourceData* FindResource(const ResourceTree& tree, const ResourceKey& type,
                                 const ResourceKey& name, const ResourceKey& language) {
  auto t = tree.find(type);
  if (t == tree.end()) return nullptr;
  auto n = t->second.find(name);
  if (n == t->second.end()) return nullptr;
  auto l = n->second.find(language);
  return l == n->second.end() ? nullptr : &l->second;
}

Bytes Sequence(size_t size, uint8_t seed) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = uint8_t(seed + i * 7 + (i >> 8));
  return bytes;
}

TEST(PeResourceTree, RoundTripsNamesIdsLanguagesAndOddSizes) {
  ResourceTree tree;
  tree[ResourceKey::Id(kRtRcdata)][ResourceKey::Id(100)][ResourceKey::Id(0)] = {Sequence(1001, 1), 0};
  tree[ResourceKey::Id(kRtRcdata)][ResourceKey::Id(100)][ResourceKey::Id(1033)] = {Bytes{0}, 0};
  tree[ResourceKey::Id(kRtRcdata)][ResourceKey::Name(u"SETTINGS")][ResourceKey::Id(1041)] = {
      Sequence(3, 9), 932};
  tree[ResourceKey::Name(u"AVI")][ResourceKey::Name(u"X")][ResourceKey::Id(0)] = {Bytes{}, 0};
  tree[ResourceKey::Id(6)][ResourceKey::Id(1)][ResourceKey::Id(1033)] = {Sequence(77, 3), 1252};

  const uint32_t rva = 0x7000;
  const Bytes section = BuildResourceSection(tree, rva);
  EXPECT_EQ(section.size() % 4, 0u);
  EXPECT_EQ(ParseResourceTree(View(section), rva, 0x400), tree);

  // The loader's binary search needs named entries first, then ascending ids.
  ASSERT_GE(section.size(), 16u + 3 * 8);
  EXPECT_EQ(LoadLe16(&section[12]), 1);  // one named type
  EXPECT_EQ(LoadLe16(&section[14]), 2);  // two numbered types
  EXPECT_NE(Le32(section, 16) & 0x80000000u, 0u);
  EXPECT_EQ(Le32(section, 24), 6u);
  EXPECT_EQ(Le32(section, 32), kRtRcdata);
}

TEST(PeResourceTree, DataAreEightByteAlignedAndAddressedByRva) {
  ResourceTree tree;
  tree[ResourceKey::Id(kRtRcdata)][ResourceKey::Id(1)][ResourceKey::Id(0)] = {Sequence(5, 1), 0};
  tree[ResourceKey::Id(kRtRcdata)][ResourceKey::Id(2)][ResourceKey::Id(0)] = {Sequence(9, 2), 0};
  const uint32_t rva = 0x5000;
  const Bytes section = BuildResourceSection(tree, rva);
  // Directories: root (1 entry), one type (2 entries), two names (1 each).
  const uint32_t dataEntries = 24 + 32 + 24 + 24;
  for (uint32_t i = 0; i < 2; ++i) {
    const uint32_t address = Le32(section, dataEntries + 16 * i);
    EXPECT_EQ(address % 8, 0u);
    EXPECT_GE(address, rva + dataEntries + 32);
    EXPECT_EQ(Le32(section, dataEntries + 16 * i + 4), i == 0 ? 5u : 9u);
  }
}

TEST(PeImage, ParsesTheInstallerProgram) {
  REQUIRE_STUB();
  const PeImage image = ParsePeImage(Stub());
  EXPECT_FALSE(image.pe32Plus);
  EXPECT_EQ(image.ResourceSection().name, ".rsrc");
  EXPECT_LE(image.headersEnd, kSwitchAreaOffset);
  EXPECT_GE(image.firstRawOffset, kSwitchAreaOffset + kSwitchAreaSize);
  const ResourceData* placeholder = FindResource(image.resources, ResourceKey::Id(kRtRcdata),
                                                 ResourceKey::Id(kPayloadResourceId),
                                                 ResourceKey::Id(kLangEnglishUs));
  ASSERT_NE(placeholder, nullptr);
  EXPECT_EQ(placeholder->bytes, Bytes{0});
  EXPECT_EQ(FindResource(image.resources, ResourceKey::Id(kRtRcdata),
                         ResourceKey::Id(kPayloadResourceId), ResourceKey::Id(kLangNeutral)),
            nullptr);
}

TEST(PeImage, PackedInstallerReparsesWithPayloadPlaceholderSwitchesAndChecksum) {
  REQUIRE_STUB();
  const Bytes stub = Stub();
  const PeImage original = ParsePeImage(stub);
  for (size_t payloadSize : {size_t(0), size_t(1), size_t(4093), size_t(300000)}) {
    SCOPED_TRACE(payloadSize);
    const Bytes payload = Sequence(payloadSize, 5);
    std::vector<std::string> warnings;
    const Bytes packed = PackInstaller(stub, payload, " /s /k", warnings);
    EXPECT_TRUE(warnings.empty());
    EXPECT_EQ(packed.size() % 4, 0u);

    const PeImage image = ParsePeImage(packed);
    ResourceTree expected = original.resources;
    expected[ResourceKey::Id(kRtRcdata)][ResourceKey::Id(kPayloadResourceId)][ResourceKey::Id(0)] = {
        payload, 0};
    EXPECT_EQ(image.resources, expected);

    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&packed[kSwitchAreaOffset])), " /s /k");
    EXPECT_EQ(Le32(packed, image.checksumOffset), ComputePeChecksum(View(packed), image.checksumOffset));
    EXPECT_NE(Le32(packed, image.checksumOffset), 0u);

    // Every section before the resources is untouched, and the sizes follow.
    const PeSection& rsrc = image.ResourceSection();
    EXPECT_EQ(rsrc.rawOffset, original.ResourceSection().rawOffset);
    EXPECT_TRUE(std::equal(stub.begin() + original.firstRawOffset, stub.begin() + rsrc.rawOffset,
                           packed.begin() + original.firstRawOffset));
    EXPECT_EQ(rsrc.rawOffset + rsrc.rawSize, packed.size());
    EXPECT_EQ(rsrc.rawSize % image.fileAlignment, 0u);
    EXPECT_GE(rsrc.virtualSize, payloadSize);
    const uint32_t sizeOfImage = Le32(packed, image.optionalHeaderOffset + 56);
    EXPECT_EQ(sizeOfImage % image.sectionAlignment, 0u);
    EXPECT_GE(sizeOfImage, rsrc.virtualAddress + rsrc.virtualSize);
    EXPECT_LT(sizeOfImage - image.sectionAlignment, rsrc.virtualAddress + rsrc.virtualSize);
    EXPECT_EQ(Le32(packed, image.dataDirectoryOffset + 8 * kDirectoryResource + 4), rsrc.virtualSize);
    const int64_t initializedGrowth = int64_t(Le32(packed, image.optionalHeaderOffset + 8)) -
                                      int64_t(Le32(stub, original.optionalHeaderOffset + 8));
    EXPECT_EQ(initializedGrowth, int64_t(rsrc.rawSize) - int64_t(original.ResourceSection().rawSize));
  }
}

TEST(PeImage, RepackingReplacesThePayloadAndCanShrink) {
  REQUIRE_STUB();
  std::vector<std::string> warnings;
  const Bytes big = PackInstaller(Stub(), Sequence(200000, 1), " /s", warnings);
  const Bytes small = PackInstaller(big, Bytes{1, 2, 3}, "", warnings);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("replaced"), std::string::npos);
  EXPECT_LT(small.size(), big.size());
  const InstallerContents contents = ReadInstaller(small);
  EXPECT_EQ(contents.payload, (Bytes{1, 2, 3}));
  EXPECT_EQ(contents.switches, "");
  EXPECT_EQ(small, PackInstaller(Stub(), Bytes{1, 2, 3}, "", warnings));
}

TEST(PeImage, CertificateTableIsDroppedWithAWarning) {
  REQUIRE_STUB();
  Bytes stub = Stub();
  const PeImage image = ParsePeImage(stub);
  const uint32_t certificate = uint32_t(stub.size());
  stub.insert(stub.end(), 64, 0xC5);
  StoreLe32(&stub[image.dataDirectoryOffset + 8 * kDirectorySecurity], certificate);
  StoreLe32(&stub[image.dataDirectoryOffset + 8 * kDirectorySecurity + 4], 64);
  std::vector<std::string> warnings;
  const Bytes packed = PackInstaller(stub, Bytes{7}, "", warnings);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("sign"), std::string::npos);
  const PeImage result = ParsePeImage(packed);
  EXPECT_EQ(result.certificateSize, 0u);
  EXPECT_EQ(Le32(packed, result.dataDirectoryOffset + 8 * kDirectorySecurity), 0u);
  EXPECT_EQ(result.ResourceSection().rawOffset + result.ResourceSection().rawSize, packed.size());
}

TEST(PeImage, ChecksumMatchesTheKnownAlgorithm) {
  // Words summed with end-around carry, folded to 16 bits, plus the length;
  // the checksum field itself counts as zero.
  Bytes file(16, 0);
  StoreLe32(&file[0], 0xFFFF0001);
  StoreLe32(&file[4], 0x12345678);  // the skipped field
  StoreLe32(&file[8], 0x0000FFFF);
  file[15] = 0x80;
  // 0x0001 + 0xFFFF = 0x10000 -> 0x0001; + 0xFFFF -> 0x0001; + 0x8000 -> 0x8001.
  EXPECT_EQ(ComputePeChecksum(View(file), 4), 0x8001u + 16);
}

struct Mutation {
  const char* name;
  std::function<void(Bytes&, const PeImage&)> apply;
  const char* error;  // a part of the expected message
};

void SetDirectory(Bytes& file, const PeImage& image, uint32_t index, uint32_t rva, uint32_t size) {
  StoreLe32(&file[image.dataDirectoryOffset + 8 * index], rva);
  StoreLe32(&file[image.dataDirectoryOffset + 8 * index + 4], size);
}

uint32_t RsrcOffset(const PeImage& image) { return image.ResourceSection().rawOffset; }

TEST(PeImage, RefusesDamagedOrUnsupportedPrograms) {
  REQUIRE_STUB();
  const std::vector<Mutation> cases = {
      {"empty", [](Bytes& f, const PeImage&) { f.clear(); }, "no MZ header"},
      {"not MZ", [](Bytes& f, const PeImage&) { f[0] = 'X'; }, "no MZ header"},
      {"PE offset past end", [](Bytes& f, const PeImage&) { StoreLe32(&f[0x3C], 0x7FFFFFF0); },
       "lies past the end"},
      {"truncated headers", [](Bytes& f, const PeImage&) { f.resize(LoadLe32(&f[0x3C]) + 40); },
       "optional header"},
      {"no PE signature", [](Bytes& f, const PeImage&) { f[LoadLe32(&f[0x3C])] = 'Q'; }, "no PE signature"},
      {"section table past the end",
       [](Bytes& f, const PeImage& i) { f.resize(i.sections[1].headerOffset + 20); },
       "section table"},
      {"too many sections",
       [](Bytes& f, const PeImage&) { StoreLe16(&f[LoadLe32(&f[0x3C]) + 6], 97); },
       "section count"},
      {"section data past the end",
       [](Bytes& f, const PeImage& i) { StoreLe32(&f[i.sections[0].headerOffset + 16], 0x10000000); },
       "run past the end of the file"},
      {"symbol table",
       [](Bytes& f, const PeImage&) { StoreLe32(&f[LoadLe32(&f[0x3C]) + 12], 0x100); },
       "symbol table"},
      {"unknown optional header",
       [](Bytes& f, const PeImage& i) { f[i.optionalHeaderOffset] = 0x07; }, "magic"},
      {"odd file alignment",
       [](Bytes& f, const PeImage& i) { StoreLe32(&f[i.optionalHeaderOffset + 36], 1000); }, "alignments"},
      {"no resources",
       [](Bytes& f, const PeImage& i) { SetDirectory(f, i, kDirectoryResource, 0, 0); }, "no resources"},
      {"resource section not last",
       [](Bytes& f, const PeImage& i) {
         SetDirectory(f, i, kDirectoryResource, i.sections[i.sections.size() - 2].virtualAddress, 0x40);
       },
       "not the last section"},
      {"another section after the resources in the file",
       [](Bytes& f, const PeImage& i) {
         const PeSection& other = i.sections[i.sections.size() - 2];
         const uint32_t end = RsrcOffset(i) + i.ResourceSection().rawSize;
         f.resize(end + other.rawSize, 0);
         StoreLe32(&f[other.headerOffset + 20], end);
       },
       "lies after the resource section"},
      {"another directory inside the resource section",
       [](Bytes& f, const PeImage& i) {
         SetDirectory(f, i, 6, i.ResourceSection().virtualAddress + 0x10, 0x1C);
       },
       "debug directory lies in the resource section"},
      {"unknown data after the last section",
       [](Bytes& f, const PeImage&) { f.insert(f.end(), {0, 0, 0xAA, 0}); }, "unknown data"},
      {"certificate outside the file",
       [](Bytes& f, const PeImage& i) { SetDirectory(f, i, kDirectorySecurity, uint32_t(f.size()), 8); },
       "certificate table"},
      {"resource subdirectory outside the section",
       [](Bytes& f, const PeImage& i) { StoreLe32(&f[RsrcOffset(i) + 16 + 4], 0x80000000u | 0xFFFF0); },
       "runs past the end of the section"},
      {"resource directory entries past the section",
       [](Bytes& f, const PeImage& i) { StoreLe32(&f[RsrcOffset(i) + 12], 0xFFFF0000u); },
       "entries run past the end"},
      {"loop back to the root",
       [](Bytes& f, const PeImage& i) { StoreLe32(&f[RsrcOffset(i) + 16 + 4], 0x80000000u); },
       "referenced twice"},
      {"data where a directory belongs",
       [](Bytes& f, const PeImage& i) { StoreLe32(&f[RsrcOffset(i) + 16 + 4], 0x10); },
       "points at data where a directory belongs"},
      {"resource name outside the section",
       [](Bytes& f, const PeImage& i) {
         StoreLe16(&f[RsrcOffset(i) + 12], 1);
         StoreLe16(&f[RsrcOffset(i) + 14], 0);
         StoreLe32(&f[RsrcOffset(i) + 16], 0x80000000u | 0x7FFFFF00u);
       },
       "resource name runs past"},
      {"resource data outside the section",
       [](Bytes& f, const PeImage& i) {
         // The last data entry of the stub's tree: its address moved far away.
         const uint32_t root = RsrcOffset(i);
         const uint32_t typeDir = root + (LoadLe32(&f[root + 20]) & 0x7FFFFFFF);
         const uint32_t nameDir = root + (LoadLe32(&f[typeDir + 20]) & 0x7FFFFFFF);
         const uint32_t entry = root + LoadLe32(&f[nameDir + 20]);
         StoreLe32(&f[entry], 0x10);
       },
       "outside the resource section"},
  };
  const Bytes stub = Stub();
  const PeImage image = ParsePeImage(stub);
  for (const Mutation& mutation : cases) {
    SCOPED_TRACE(mutation.name);
    Bytes file = stub;
    mutation.apply(file, image);
    try {
      ParsePeImage(file);
      ADD_FAILURE() << "accepted";
    } catch (const PeError& error) {
      EXPECT_NE(std::string(error.what()).find(mutation.error), std::string::npos) << error.what();
    }
  }
}

}  // namespace
