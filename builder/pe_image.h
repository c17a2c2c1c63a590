// A PE image whose resources can be replaced: the headers and section table
// read with checked reads, the resource section (which must be the last one)
// parsed into a ResourceTree, and a writer that rebuilds that section in place.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "builder/format/payload_writer.h"
#include "builder/pe_resources.h"
#include "patch/bytes.h"

struct PeSection {
  std::string name;
  uint32_t headerOffset = 0;  // file offset of the section's table entry
  uint32_t virtualSize = 0;
  uint32_t virtualAddress = 0;
  uint32_t rawSize = 0;
  uint32_t rawOffset = 0;
  uint32_t characteristics = 0;
};

struct PeImage {
  Bytes file;
  bool pe32Plus = false;
  uint32_t optionalHeaderOffset = 0;
  uint32_t checksumOffset = 0;
  uint32_t dataDirectoryOffset = 0;
  uint32_t dataDirectoryCount = 0;
  uint32_t fileAlignment = 0;
  uint32_t sectionAlignment = 0;
  uint32_t sizeOfHeaders = 0;
  uint32_t headersEnd = 0;      // end of the section table
  uint32_t firstRawOffset = 0;  // where the first section's data start in the file
  std::vector<PeSection> sections;
  // The resource section: always the last section.
  ResourceTree resources;
  // Certificate table (a file offset and size), 0 when there is none.
  uint32_t certificateOffset = 0;
  uint32_t certificateSize = 0;

  const PeSection& ResourceSection() const { return sections.back(); }
};

// Data directory indices.
constexpr uint32_t kDirectoryResource = 2;
constexpr uint32_t kDirectorySecurity = 4;

// Parses `file`. Throws PeError naming what is not understood and where: a
// truncated or inconsistent header, a section outside the file, a resource
// section that is not the last one, other data inside the resource section,
// unknown bytes after the last section, a malformed resource tree.
PeImage ParsePeImage(Bytes file);

// The image with its resource section replaced by `resources`: the section
// grows or shrinks in place, the section, image and initialised-data sizes and
// the resource directory follow, the certificate table is dropped (a warning
// is added to `warnings`) and the checksum is recomputed.
Bytes RebuildPeImage(const PeImage& image, const ResourceTree& resources,
                     std::vector<std::string>& warnings);

// The PE checksum of `file`, skipping the 4 bytes at `checksumOffset`.
uint32_t ComputePeChecksum(ByteView file, uint32_t checksumOffset);
// Stores the checksum after the file's bytes have changed.
void UpdatePeChecksum(Bytes& file, uint32_t checksumOffset);
