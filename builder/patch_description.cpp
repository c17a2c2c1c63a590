#include "builder/patch_description.h"

#include <cctype>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "builder/code_page.h"
#include "builder/encoder.h"
#include "builder/format/delta_output.h"
#include "builder/format/delta_writer.h"
#include "builder/format/patch_writer.h"
#include "builder/pack_files.h"
#include "patch/crc32.h"
#include "patch/delta.h"

namespace {

using Json = nlohmann::ordered_json;

struct Context {
  std::string folder;  // of the description, for relative paths
  int codepage = 0;
};

std::string ConvertFromUtf8(const std::string& text, int codepage) {
  if (codepage == 0) return text;
  CodePageConverter converter(codepage, CodePageConverter::FromUtf8);
  std::string out;
  if (converter.Convert(text, 0, out))
    throw std::runtime_error("text cannot be written in CP" + std::to_string(codepage) + ": " + text);
  return out;
}

Bytes ParseHex(const std::string& hex) {
  Bytes out;
  int high = -1;
  for (char c : hex) {
    if (c == ' ' || c == '\n' || c == '\t') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) throw std::runtime_error("bad hex: " + hex);
    const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::tolower(c) - 'a' + 10);
    if (high < 0) {
      high = digit;
    } else {
      out.push_back(uint8_t(high << 4 | digit));
      high = -1;
    }
  }
  if (high >= 0) throw std::runtime_error("odd number of hex digits: " + hex);
  return out;
}

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes ReadBytes(const Json& value, const Context& context) {
  if (value.is_string()) return ToBytes(value.get<std::string>());
  if (!value.is_object()) throw std::runtime_error("bytes expected: " + value.dump());
  if (value.contains("hex")) return ParseHex(value["hex"].get<std::string>());
  if (value.contains("file")) {
    const std::string path = value["file"].get<std::string>();
    const bool absolute = std::filesystem::u8path(path).has_root_path();
    return ReadFileBytes(path.empty() || absolute ? path : context.folder + path);
  }
  if (value.contains("text"))
    return ToBytes(ConvertFromUtf8(value["text"].get<std::string>(), value.value("codepage", 0)));
  throw std::runtime_error("bytes expected: " + value.dump());
}

// A text of the patch: strings go through the description's code page.
std::string ReadText(const Json& value, const Context& context) {
  if (value.is_string()) return ConvertFromUtf8(value.get<std::string>(), context.codepage);
  const Bytes bytes = ReadBytes(value, context);
  return std::string(bytes.begin(), bytes.end());
}

Bytes DeltaFromOps(const Json& ops, const Bytes& old, const Context& context) {
  DeltaWriter writer(old);
  for (const Json& op : ops) {
    if (op.contains("literal")) {
      writer.Literal(ReadBytes(op["literal"], context));
    } else if (op.contains("copy")) {
      const Json& copy = op["copy"];
      writer.Copy(copy.at("position").get<uint32_t>(), ReadBytes(copy.at("new"), context));
    } else {
      throw std::runtime_error("unknown delta operation: " + op.dump());
    }
  }
  return writer.Finish();
}

Bytes DeltaFromBlocks(const Json& blocks, const Context& context) {
  DeltaEncoder encoder;
  for (const Json& block : blocks) {
    if (block.contains("literal")) {
      encoder.LiteralRun(ReadBytes(block["literal"], context));
      continue;
    }
    if (!block.contains("copy")) throw std::runtime_error("unknown delta block: " + block.dump());
    const Json& copy = block["copy"];
    std::vector<PatchOp> patches;
    const Json patchList = copy.value("patches", Json::array());
    for (const Json& patch : patchList) {
      if (patch.contains("skip")) patches.push_back({PatchKind::Skip, patch["skip"].get<uint32_t>()});
      else if (patch.contains("byteAdd")) patches.push_back({PatchKind::ByteAdd, patch["byteAdd"].get<uint32_t>()});
      else if (patch.contains("wordAdd")) patches.push_back({PatchKind::WordAdd, patch["wordAdd"].get<uint32_t>()});
      else throw std::runtime_error("unknown patch operation: " + patch.dump());
    }
    std::optional<uint32_t> count;
    if (copy.contains("patchCount")) count = copy["patchCount"].get<uint32_t>();
    encoder.CopyBlock(copy.at("length").get<uint32_t>(), copy.value("distance", 0), patches, count);
  }
  return encoder.Finish();
}

void OverrideDeltaHeader(Bytes& body, const Json& fields) {
  static const char* const kNames[] = {"literalFlagsOffset", "patchBitsOffset", "lengthsOffset",
                                       "positionsOffset",    "patchCountsOffset", "skipsOffset",
                                       "literalsOffset",     "addendsOffset"};
  if (body.size() < kDeltaHeaderSize) throw std::runtime_error("delta body shorter than its header");
  for (const auto& [name, value] : fields.items()) {
    int index = 0;
    while (index < 8 && name != kNames[index]) ++index;
    if (index == 8) throw std::runtime_error("unknown DeltaHeader field " + name);
    StoreLe32(body.data() + 4 * index, value.get<uint32_t>());
  }
}

PatchRecord ReadRecordDescription(const Json& description, const Context& context) {
  PatchRecord record;
  const std::string name = ReadText(description.at("name"), context);
  if (description.contains("content")) {
    record = FullRecord(name, ReadBytes(description["content"], context));
  } else if (description.contains("old")) {
    const Bytes old = ReadBytes(description["old"], context);
    Bytes body;
    if (description.contains("new"))
      body = EncodeDeltaBody(ViewOf(old), ViewOf(ReadBytes(description["new"], context)));
    else if (description.contains("ops")) body = DeltaFromOps(description["ops"], old, context);
    else if (description.contains("blocks")) body = DeltaFromBlocks(description["blocks"], context);
    else if (description.contains("body")) body = ReadBytes(description["body"], context);
    else throw std::runtime_error("record " + name + ": \"old\" needs new, ops, blocks or body");
    if (description.contains("deltaHeader")) OverrideDeltaHeader(body, description["deltaHeader"]);
    // Faulty deltas are allowed here: newCrc is that of whatever they decode to.
    const Bytes produced = DecodeDelta(body, old);
    record.name = name;
    record.oldSize = uint32_t(old.size());
    record.oldCrc = Crc32(old.data(), uint32_t(old.size()));
    record.newCrc = Crc32(produced.data(), uint32_t(produced.size()));
    record.body = body;
  } else {
    throw std::runtime_error("record " + name + " has neither \"content\" nor \"old\"");
  }
  record.name = name;
  record.flags = description.value("flags", 0u);
  if (description.contains("flagBytes")) record.flagBytes = description["flagBytes"].get<Bytes>();
  record.lastWriteTime = description.value("lastWriteTime", uint64_t(0));
  if (description.contains("oldSize")) record.oldSize = description["oldSize"].get<uint32_t>();
  if (description.contains("oldCrc")) record.oldCrc = description["oldCrc"].get<uint32_t>();
  if (description.contains("newCrc")) record.newCrc = description["newCrc"].get<uint32_t>();
  if (description.contains("recordLength"))
    record.recordLength = description["recordLength"].get<uint32_t>();
  record.allowUnsafeName = description.value("allowUnsafeName", false);
  return record;
}

}  // namespace

Bytes AssemblePatch(const std::string& descriptionText, const std::string& folder) {
  const Json description = Json::parse(descriptionText);
  Context context;
  context.folder = folder.empty() || folder.back() == '/' ? folder : folder + "/";
  context.codepage = description.value("codepage", 0);
  PatchFile patch;
  const Json texts = description.value("texts", Json::object());
  for (const auto& [key, text] : texts.items()) patch.entries.push_back({key, ReadText(text, context)});
  const Json entries = description.value("entries", Json::array());
  for (const Json& entry : entries)
    patch.entries.push_back({entry.at("key").get<std::string>(), ReadText(entry.at("text"), context)});
  patch.magic = description.value("magic", true);
  const Json records = description.value("records", Json::array());
  for (const Json& record : records)
    patch.records.push_back(ReadRecordDescription(record, context));

  Bytes file = WritePatch(patch);
  if (description.contains("truncate")) {
    const size_t size = description["truncate"].get<size_t>();
    if (size < file.size()) file.resize(size);
  }
  if (description.contains("append")) {
    const Bytes extra = ReadBytes(description["append"], context);
    file.insert(file.end(), extra.begin(), extra.end());
  }
  return file;
}

