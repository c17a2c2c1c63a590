// Packing an installer: the payload container (a dummy entry, the patch, the
// programs to run afterwards, each a zlib stream) written as the installer
// program's language-neutral RT_RCDATA 100 resource, and switches preset in the
// header switch area. Also the way back: reading an installer's switches and
// payload, for inspection and tests.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "builder/entry_compression.h"
#include "builder/format/payload_writer.h"
#include "builder/pe_image.h"
#include "patch/bytes.h"
#include "patch/format.h"

class PackError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// First entry of every payload: no data, only the driver's ignored first token.
constexpr const char* kDummyEntryName = "arg00";
// The longest driver command line (entry names, single spaces and " /s").
constexpr size_t kCommandLineLimit = kDriverCommandLineSize - 1;

struct PackFile {
  std::string name;  // the entry's name: a bare file name
  Bytes content;
};

// Refuses entry names the installer cannot use: empty, not plain ASCII, holding
// a space, quote, path separator or other character Windows forbids in file
// names, repeated (without regard to case), or too long together for the
// driver command line. `names` includes the dummy first entry.
void CheckEntryNames(const std::vector<std::string>& names);

// The payload container: the dummy entry, then each file compressed.
Bytes BuildPayload(const std::vector<PackFile>& files, const CompressionOptions& options);

// The same over contents held elsewhere, which must outlive the call.
struct PackEntry {
  std::string name;
  const Bytes* content;
};
Bytes BuildPayloadFrom(const std::vector<PackEntry>& entries, const CompressionOptions& options);

// " /s" and " /k" as the switches request; empty when neither.
std::string SwitchText(bool silent, bool killParent);
// Refuses a switch text that does not begin with a space or does not fit the
// switch area with its NUL.
void CheckSwitchText(const std::string& text);

// The installer program `stub` with `payload` as its language-neutral
// RT_RCDATA 100 (replacing one already there) and `switches` in the switch
// area; its other resources stay. Warnings (a dropped signature, a replaced
// payload) are added to `warnings`.
Bytes PackInstaller(Bytes stub, Bytes payload, const std::string& switches,
                    std::vector<std::string>& warnings);

struct InstallerContents {
  PeImage image;
  std::string switches;
  bool hasPayload = false;
  Bytes payload;
};

// Reads an installer's switch area and payload resource (moved out of
// image.resources, which keeps an empty one). Throws PeError or PackError when
// the program is not one the packer could have written.
InstallerContents ReadInstaller(Bytes file);

// One entry of a payload container, as the installer walks it, with its place.
struct ContainerEntry {
  std::string name;
  uint32_t offset = 0;  // of the entry's name within the payload
  ByteView data{nullptr, 0};
};

// A fault of a payload container: the entry's offset within the payload.
class PayloadError : public PackError {
 public:
  PayloadError(uint32_t entryOffset, const std::string& what) : PackError(what), offset(entryOffset) {}
  uint32_t offset;
};

// The container's entries. Throws PayloadError naming the offset of the first
// entry that the installer would reject (unterminated name, length beyond the
// payload's end).
std::vector<ContainerEntry> ParsePayload(ByteView payload);

// Inflates one entry's zlib stream; throws PackError when it is damaged, has
// bytes after its end or inflates to 4 GiB or more.
Bytes InflateEntry(ByteView data);

// Memory taken with malloc and grown with realloc, never zero-filled: what a
// large stream inflates to when it is read once (a delta for `apply`).
class RawBytes {
 public:
  RawBytes() = default;
  RawBytes(RawBytes&& other) noexcept;
  RawBytes& operator=(RawBytes&& other) noexcept;
  RawBytes(const RawBytes&) = delete;
  RawBytes& operator=(const RawBytes&) = delete;
  ~RawBytes();

  uint8_t* data() { return data_; }
  size_t size() const { return size_; }
  // New bytes are left as they are; throws std::bad_alloc.
  void resize(size_t size);
  ByteView view() const { return ByteView{data_, uint32_t(size_)}; }

 private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// InflateEntry into memory that is not zero-filled first; the same faults.
RawBytes InflateEntryRaw(ByteView data);

// Whether an entry's zlib stream inflates to exactly `expected`, and ends
// where its data end; in steps, without holding the inflated whole.
bool InflatesTo(ByteView data, ByteView expected);
