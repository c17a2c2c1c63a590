#include "builder/pack.h"
#include "builder/ascii_case.h"
#include "builder/hex.h"

#include "launcher/payload.h"

#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <set>
#include <utility>

namespace {

const ResourceKey kPayloadType = ResourceKey::Id(kRtRcdata);
const ResourceKey kPayloadName = ResourceKey::Id(kPayloadResourceId);
const ResourceKey kPayloadLanguage = ResourceKey::Id(kLangNeutral);

PayloadError DescribeDamagedEntry(ByteView payload, uint32_t offset) {
  ByteCursor cursor(payload.From(offset));
  const char* name = nullptr;
  uint32_t nameLength = 0, length = 0;
  if (!cursor.ReadCString(name, nameLength))
    return PayloadError(offset, "payload entry at " + Hex(offset) + ": name without its NUL");
  const std::string where = "payload entry '" + std::string(name, nameLength) + "' at " + Hex(offset);
  if (!cursor.ReadU32(length)) return PayloadError(offset, where + ": length runs past the end of the payload");
  return PayloadError(offset, where + ": length " + std::to_string(length) + " runs " +
                                  std::to_string(length - cursor.Remaining()) +
                                  " bytes past the end of the payload");
}

bool ForbiddenInName(unsigned char c) {
  return c <= ' ' || c >= 0x7F || std::strchr("\"<>:/\\|?*", c) != nullptr;
}

}  // namespace

void CheckEntryNames(const std::vector<std::string>& names) {
  std::set<std::string> seen;
  size_t commandLine = 3;  // " /s" after the first name
  for (const std::string& name : names) {
    if (name.empty()) throw PackError("an entry has an empty name");
    for (unsigned char c : name)
      if (ForbiddenInName(c))
        throw PackError("entry name '" + name +
                        "' must be a plain ASCII file name without spaces, quotes or any of <>:/\\|?*");
    if (name == "." || name == "..") throw PackError("entry name '" + name + "' is not a file name");
    if (!seen.insert(AsciiLower(name)).second)
      throw PackError("entry name '" + name + "' occurs twice (names are compared without regard to case)");
    commandLine += name.size() + (&name == &names.front() ? 0 : 1);
  }
  if (commandLine > kCommandLineLimit)
    throw PackError("entry names too long: the installer's command line holds " +
                    std::to_string(kCommandLineLimit) + " characters, these need " +
                    std::to_string(commandLine));
}

Bytes BuildPayload(const std::vector<PackFile>& files, const CompressionOptions& options) {
  std::vector<PackEntry> entries;
  for (const PackFile& file : files) entries.push_back({file.name, &file.content});
  return BuildPayloadFrom(entries, options);
}

Bytes BuildPayloadFrom(const std::vector<PackEntry>& entries, const CompressionOptions& options) {
  std::vector<std::string> names{kDummyEntryName};
  for (const PackEntry& entry : entries) names.push_back(entry.name);
  CheckEntryNames(names);
  Bytes payload;
  AppendRawPayloadEntry(payload, kDummyEntryName, {});
  for (const PackEntry& entry : entries) {
    // A length of 0 means "no file": the installer would create nothing and
    // then fail to open it.
    if (entry.content->empty()) throw PackError("'" + entry.name + "' is empty");
    AppendRawPayloadEntry(payload, entry.name, CompressEntry(*entry.content, options));
  }
  return payload;
}

std::string SwitchText(bool silent, bool killParent) {
  std::string text;
  if (silent) text += " /s";
  if (killParent) text += " /k";
  return text;
}

void CheckSwitchText(const std::string& text) {
  if (text.empty()) return;
  if (text[0] != ' ')
    throw PackError("switch text '" + text + "' must begin with a space (the installer sees a switch only after one)");
  if (text.size() >= kSwitchAreaSize)
    throw PackError("switch text '" + text + "' is too long: the switch area holds " +
                    std::to_string(kSwitchAreaSize - 1) + " characters and a NUL");
  if (text.find('\0') != std::string::npos) throw PackError("switch text holds a NUL");
}

Bytes PackInstaller(Bytes stub, Bytes payload, const std::string& switches,
                    std::vector<std::string>& warnings) {
  CheckSwitchText(switches);
  PeImage image = ParsePeImage(std::move(stub));
  if (image.headersEnd > kSwitchAreaOffset || image.sizeOfHeaders < kSwitchAreaOffset + kSwitchAreaSize ||
      image.firstRawOffset < kSwitchAreaOffset + kSwitchAreaSize)
    throw PackError("the installer program leaves no room for the switch area at offsets " +
                    std::to_string(kSwitchAreaOffset) + " to " +
                    std::to_string(kSwitchAreaOffset + kSwitchAreaSize - 1) + " of its header");

  ResourceTree resources = image.resources;
  ResourceLanguages& languages = resources[kPayloadType][kPayloadName];
  if (languages.count(kPayloadLanguage))
    warnings.push_back("the installer program already carried a payload; it was replaced");
  languages[kPayloadLanguage] = ResourceData{std::move(payload), 0};

  Bytes out = RebuildPeImage(image, resources, warnings);
  std::fill(out.begin() + kSwitchAreaOffset, out.begin() + kSwitchAreaOffset + kSwitchAreaSize, 0);
  std::copy(switches.begin(), switches.end(), out.begin() + kSwitchAreaOffset);
  UpdatePeChecksum(out, image.checksumOffset);
  if (out.size() % 4 != 0) throw PackError("internal error: installer size not a multiple of 4");
  return out;
}

InstallerContents ReadInstaller(Bytes file) {
  InstallerContents contents;
  contents.image = ParsePeImage(std::move(file));
  const Bytes& bytes = contents.image.file;
  if (contents.image.headersEnd > kSwitchAreaOffset || bytes.size() < kSwitchAreaOffset + kSwitchAreaSize)
    throw PackError("the program has no switch area (its headers reach offset " +
                    std::to_string(kSwitchAreaOffset) + ")");
  const char* area = reinterpret_cast<const char*>(&bytes[kSwitchAreaOffset]);
  contents.switches.assign(area, strnlen(area, kSwitchAreaSize));

  const auto type = contents.image.resources.find(kPayloadType);
  if (type == contents.image.resources.end()) return contents;
  const auto name = type->second.find(kPayloadName);
  if (name == type->second.end()) return contents;
  const auto language = name->second.find(kPayloadLanguage);
  if (language == name->second.end()) return contents;
  contents.hasPayload = true;
  contents.payload = std::move(language->second.bytes);
  return contents;
}

std::vector<ContainerEntry> ParsePayload(ByteView payload) {
  std::vector<ContainerEntry> entries;
  ByteCursor cursor(payload);
  PayloadEntry entry;
  PayloadStatus status;
  // The installer's own reader walks the container; only a damaged entry is
  // looked at again here, to say what is wrong with it.
  while ((status = ReadPayloadEntry(cursor, entry)) == PayloadEntryRead) {
    const uint32_t offset = uint32_t(reinterpret_cast<const uint8_t*>(entry.name) - payload.data);
    entries.push_back({std::string(entry.name, entry.nameLength), offset, entry.data});
  }
  if (status == PayloadDamaged) throw DescribeDamagedEntry(payload, cursor.position);
  return entries;
}

bool InflatesTo(ByteView data, ByteView expected) {
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) return false;
  stream.next_in = const_cast<Bytef*>(data.data);
  stream.avail_in = data.size;
  uint8_t buffer[65536];
  uint64_t matched = 0;
  int status = Z_OK;
  bool same = true;
  while (same && status == Z_OK) {
    stream.next_out = buffer;
    stream.avail_out = sizeof buffer;
    status = inflate(&stream, Z_NO_FLUSH);
    const uint32_t produced = uint32_t(sizeof buffer - stream.avail_out);
    same = produced <= expected.size - matched && std::equal(buffer, buffer + produced, expected.data + matched);
    matched += produced;
    if (status == Z_BUF_ERROR && stream.avail_in == 0) break;
  }
  inflateEnd(&stream);
  return same && status == Z_STREAM_END && stream.avail_in == 0 && matched == expected.size;
}

namespace {

// Inflates the whole stream straight into `out`, which starts at `guess` times
// the stream's size and doubles while it is short; zlib keeps no window of its
// own when the stream ends within one call.
template <class Buffer>
void InflateWhole(ByteView data, uint32_t guess, Buffer& out) {
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) throw PackError("zlib inflate could not start");
  stream.next_in = const_cast<Bytef*>(data.data);
  stream.avail_in = data.size;
  constexpr uint64_t kLargest = 0xFFFFFFFFu;
  uint64_t capacity = std::max<uint64_t>(uint64_t(data.size) * guess, 64 * 1024);
  size_t produced = 0;
  int status = Z_OK;
  while (true) {
    out.resize(size_t(std::min(capacity, kLargest)));
    stream.next_out = out.data() + produced;
    stream.avail_out = uInt(out.size() - produced);
    status = inflate(&stream, Z_FINISH);
    produced = out.size() - stream.avail_out;
    // Z_BUF_ERROR with room left: the stream ends early.
    if (status != Z_BUF_ERROR || stream.avail_out != 0) break;
    if (out.size() == kLargest) {
      inflateEnd(&stream);
      throw PackError("zlib stream inflates to 4 GiB or more");
    }
    capacity *= 2;
  }
  out.resize(produced);
  const uint32_t consumed = data.size - stream.avail_in;
  const char* message = stream.msg;
  inflateEnd(&stream);
  if (status != Z_STREAM_END)
    throw PackError(std::string("zlib stream damaged at byte ") + std::to_string(consumed) + ": " +
                    (message ? message : status == Z_BUF_ERROR ? "it ends early" : "invalid data"));
  if (consumed != data.size)
    throw PackError(std::to_string(data.size - consumed) + " bytes follow the end of the zlib stream");
}

}  // namespace

Bytes InflateEntry(ByteView data) {
  // A vector is zero-filled as it grows: a modest first guess.
  Bytes out;
  InflateWhole(data, 2, out);
  return out;
}

RawBytes::RawBytes(RawBytes&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

RawBytes& RawBytes::operator=(RawBytes&& other) noexcept {
  if (this != &other) {
    std::free(data_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

RawBytes::~RawBytes() { std::free(data_); }

void RawBytes::resize(size_t size) {
  if (size > capacity_) {
    // realloc moves large blocks by remapping their pages, not by copying.
    void* grown = std::realloc(data_, size);
    if (!grown) throw std::bad_alloc();
    data_ = static_cast<uint8_t*>(grown);
    capacity_ = size;
  }
  size_ = size;
}

RawBytes InflateEntryRaw(ByteView data) {
  // Pages of a large block that are never written cost nothing: a guess that
  // holds even well-compressed deltas (a third of their size or less).
  RawBytes out;
  InflateWhole(data, 4, out);
  return out;
}
