#include "builder/pack_inspect.h"
#include "builder/ascii_case.h"
#include "builder/hex.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>

#include "builder/code_page.h"
#include "builder/pack.h"
#include "launcher/payload.h"
#include "patch/crc32.h"
#include "patch/delta.h"
#include "patch/header.h"
#include "patch/record_name.h"
#include "patch/records.h"
#include "patch/text_keys.h"

namespace {


bool IsDigit(uint8_t byte) { return byte >= '0' && byte <= '9'; }

class PatchInspector {
 public:
  PatchInspector(ByteView patch, LeadByteTest leadBytes) : patch_(patch), leadBytes_(leadBytes) {}

  PatchInspection Run() {
    if (ReadTexts()) ReadRecords();
    return std::move(result_);
  }

 private:
  void Fault(uint32_t offset, const std::string& message) {
    if (!result_.fault) result_.fault = InspectFault{"patch", offset, message};
  }

  // The header entries ("key:text\0") up to "DIF0", read by the installer's
  // own reader; each entry a later one overrides is marked.
  bool ReadTexts() {
    StringTable table;
    SetDefaultStrings(table);
    PatchFault fault;
    const HeaderEntryVisitor visitor{AddText, this};
    const uint8_t* records = ParsePatchHeader(patch_.data, patch_.size, table, &fault, &visitor);
    if (!records) return Fault(fault.offset, DescribeHeaderFault(fault)), false;
    result_.recordsOffset = uint32_t(records - patch_.data);
    return true;
  }

  static void AddText(void* context, uint32_t offset, int key, const char* text, uint32_t length) {
    PatchInspection& result = static_cast<PatchInspector*>(context)->result_;
    for (InspectedText& earlier : result.texts)
      if (earlier.key == key) earlier.inEffect = false;
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(text);
    result.texts.push_back(InspectedText{offset, key, Bytes(bytes, bytes + length), true});
  }

  // The digits of the entry at `offset`, as written.
  std::string KeyDigitsAt(uint32_t offset) const {
    std::string digits;
    for (uint32_t p = offset; p < patch_.size && IsDigit(patch_.data[p]); ++p)
      digits += char(patch_.data[p]);
    return digits;
  }

  std::string DescribeHeaderFault(const PatchFault& fault) const {
    const std::string digits = KeyDigitsAt(fault.offset);
    switch (fault.kind) {
      case PatchFaultKind::KeyDigitsRunToEnd: return "key digits run to the end of the file";
      case PatchFaultKind::KeyWithoutColon: return "key digits not followed by ':'";
      case PatchFaultKind::KeyAboveLimit: return "key " + digits + " is above 49";
      case PatchFaultKind::TextRunsToEnd:
        // A key below the limit, so its value is small whatever zeros lead it.
        return "text of key " + std::to_string(std::strtol(digits.c_str(), nullptr, 10)) +
               " runs to the end of the file";
      case PatchFaultKind::NoMagic: return "no \"DIF0\" where the texts end";
      case PatchFaultKind::NoRecords: return "no file records after \"DIF0\"";
      default: return "faulty header";
    }
  }

  void ReadRecords() {
    const uint32_t base = result_.recordsOffset;
    const ByteView area = patch_.From(base);
    std::map<std::string, size_t> groupEnds;  // lowered name -> index after its group
    uint32_t offset = 0;
    while (offset < area.size) {
      FileRecord record;
      const PatchFaultKind layout = ReadRecordLayout(area, offset, record);
      if (layout != PatchFaultKind::None)
        return Fault(base + offset, DescribeLayoutFault(layout, area, offset));
      if (const char* nameFault = RecordNameFault(record.name, leadBytes_))
        Fault(base + offset, std::string("record name '") + record.name + "' is refused: " + nameFault);
      InspectedRecord summary;
      summary.offset = base + offset;
      summary.name = record.name;
      summary.flags = record.flags;
      summary.oldSize = record.oldSize;
      summary.oldCrc = record.oldCrc;
      summary.newCrc = record.newCrc;
      summary.lastWriteTime = uint64_t(record.lastWriteTimeHigh) << 32 | record.lastWriteTimeLow;
      summary.delta = record.oldSize != 0;
      summary.bodySize = record.body.size;
      CheckBody(record, summary);
      CheckGroup(summary, groupEnds);
      result_.records.push_back(summary);
      offset = NextRecord(record);
    }
    // The installer's own check of the whole area decides; the walk above only
    // names the fault.
    if (!result_.fault && !ValidateRecordsArea(area, leadBytes_))
      Fault(base, "the records area fails the installer's check");
  }

  void CheckBody(const FileRecord& record, const InspectedRecord& summary) {
    const std::string name = "'" + summary.name + "'";
    if (summary.delta) {
      if (!ValidDeltaHeader(record.body))
        Fault(summary.offset, "delta header of " + name + " does not fit its " +
                                  std::to_string(record.body.size) + "-byte body");
      return;
    }
    const uint32_t crc = Crc32(record.body.data, record.body.size);
    if (crc != record.newCrc)
      Fault(summary.offset, "content of " + name + " has CRC " + Hex8(crc) + ", its newCrc says " +
                                Hex8(record.newCrc));
    if (record.oldCrc != 0)
      result_.warnings.push_back("full-content record " + name + " at " + Hex8(summary.offset) +
                                 " carries oldCrc " + Hex8(record.oldCrc) + " (0 expected)");
  }

  // Records of one file stand together; a name that comes back after another
  // starts a second group that the installer processes separately.
  void CheckGroup(const InspectedRecord& summary, std::map<std::string, size_t>& groupEnds) {
    const std::string key = AsciiLower(summary.name);
    const size_t index = result_.records.size();
    auto found = groupEnds.find(key);
    if (found != groupEnds.end() && found->second != index)
      result_.warnings.push_back("records for '" + summary.name + "' at " + Hex8(summary.offset) +
                                 " do not follow the earlier ones: they form a second group");
    groupEnds[key] = index + 1;
  }

  static std::string DescribeLayoutFault(PatchFaultKind kind, ByteView area, uint32_t offset) {
    const uint32_t remaining = area.size - offset;
    const uint32_t length = remaining >= 4 ? LoadLe32(area.data + offset) : 0;
    switch (kind) {
      case PatchFaultKind::RecordCutShort:
        return "record cut short: " + std::to_string(remaining) + " bytes left";
      case PatchFaultKind::RecordRunsPastEnd:
        return "record length " + std::to_string(length) + " runs past the end of the file (" +
               std::to_string(remaining) + " bytes left)";
      case PatchFaultKind::RecordTooSmall:
        return "record length " + std::to_string(length) + " too small for the numbers";
      case PatchFaultKind::NoName: return "no name after the flag bytes inside the record";
      default:
        return "name without its NUL inside the record (length " + std::to_string(length) + ")";
    }
  }

  ByteView patch_;
  LeadByteTest leadBytes_;
  PatchInspection result_;
};

}  // namespace

std::string InspectFault::Describe() const {
  return where + " offset " + std::to_string(offset) + " (" + Hex8(offset) + "): " + message;
}

const char* TextRoleSummary(int key) {
  if (key < 0 || key > kTextKeyMax) return "";
  for (const TextKeyRole& role : kTextKeyRoles)
    if (int(role.key) == key) return role.summary;
  return "no role";
}

PatchInspection InspectPatch(ByteView patch, LeadByteTest leadBytes) {
  return PatchInspector(patch, leadBytes).Run();
}

bool LooksLikeProgram(ByteView file) {
  return file.size >= 2 && file.data[0] == 'M' && file.data[1] == 'Z';
}

InstallerInspection InspectInstaller(Bytes file, LeadByteTest leadBytes) {
  InstallerInspection result;
  auto fault = [&result](const std::string& where, uint32_t offset, const std::string& message) {
    if (!result.fault) result.fault = InspectFault{where, offset, message};
  };
  result.fileSize = file.size();
  InstallerContents contents;
  try {
    contents = ReadInstaller(std::move(file));
  } catch (const std::exception& error) {
    fault("program", 0, error.what());
    return result;
  }
  const Bytes& bytes = contents.image.file;
  const uint32_t checksumOffset = contents.image.checksumOffset;
  result.checksumMatches = LoadLe32(&bytes[checksumOffset]) ==
                           ComputePeChecksum(ByteView{bytes.data(), uint32_t(bytes.size())}, checksumOffset);
  if (!result.checksumMatches) result.warnings.push_back("the PE checksum does not match the file");
  if (bytes.size() % 4 != 0)
    fault("program", uint32_t(bytes.size()), "size " + std::to_string(bytes.size()) +
                                                 " is not a multiple of 4: the installer stops with code 1");

  result.switches = contents.switches;
  if (!result.switches.empty() && result.switches[0] != ' ')
    fault("program", kSwitchAreaOffset, "switch text does not begin with a space: its first switch is not seen");
  if (result.switches.size() == kSwitchAreaSize)
    result.warnings.push_back("the switch text fills the switch area without a NUL");

  if (!contents.hasPayload) {
    fault("program", 0, "no payload: the language-neutral RT_RCDATA 100 is missing");
    return result;
  }
  const ByteView payload{contents.payload.data(), uint32_t(contents.payload.size())};
  std::vector<ContainerEntry> entries;
  try {
    entries = ParsePayload(payload);
  } catch (const PayloadError& error) {
    fault("payload", error.offset, error.what());
    return result;
  }

  std::vector<std::string> names;
  Bytes patch;
  for (const ContainerEntry& entry : entries) {
    InspectedEntry summary{entry.name, entry.offset, entry.data.size, std::nullopt};
    names.push_back(entry.name);
    if (entry.data.size != 0) {
      try {
        Bytes content = InflateEntry(entry.data);
        summary.inflatedSize = content.size();
        if (result.entries.size() == 1) patch = std::move(content);
      } catch (const PackError& error) {
        fault("payload", entry.offset, "entry '" + entry.name + "': " + error.what());
      }
    }
    result.entries.push_back(summary);
  }
  try {
    CheckEntryNames(names);
  } catch (const PackError& error) {
    fault("payload", 0, error.what());
  }
  // The launcher's own check of the container decides what it accepts.
  char commandLine[kDriverCommandLineSize];
  if (!CheckPayload(payload, true, commandLine))
    fault("payload", 0, "the installer's payload check rejects the container (names or command line)");
  if (entries.size() < 2) {
    fault("payload", 0, "no patch: the payload holds " + std::to_string(entries.size()) + " entries");
    return result;
  }
  result.patchName = entries[1].name;
  if (entries[1].data.size == 0) {
    fault("payload", entries[1].offset, "the patch entry '" + entries[1].name + "' is empty");
    return result;
  }
  if (!result.entries[1].inflatedSize) return result;
  result.patch = InspectPatch(ByteView{patch.data(), uint32_t(patch.size())}, leadBytes);
  result.patchContent = std::move(patch);
  if (result.patch->fault) {
    InspectFault nested = *result.patch->fault;
    nested.where = "patch " + result.patchName;
    fault(nested.where, nested.offset, nested.message);
  }
  return result;
}

std::string DecodeText(const std::string& text, int codePage) {
  if (codePage == 0 || codePage == 65001) return text;
  CodePageConverter converter(codePage, CodePageConverter::ToUtf8);
  std::string out;
  size_t from = 0;
  while (const std::optional<size_t> stop = converter.Convert(text, from, out)) {
    // A byte that does not convert: show it and go on after it.
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(text[*stop]));
    out += escaped;
    from = *stop + 1;
  }
  return out;
}
