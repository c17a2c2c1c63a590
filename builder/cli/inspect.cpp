// selfpatch inspect: describes an installer or a patch and checks its
// structure the way the installer reads it.
#include <CLI/CLI.hpp>
#include "builder/code_page.h"
#include "builder/hex.h"
#include <nlohmann/json.hpp>

#include <cstdio>
#include <exception>
#include <string>

#include "builder/cli/command.h"
#include "builder/cli/cli_app.h"
#include "builder/pack.h"
#include "builder/pack_files.h"
#include "builder/pack_inspect.h"
#include "patch/records.h"

namespace {

using nlohmann::json;

const char kDescription[] =
    "Describes an installer or a patch file and checks its structure as the\n"
    "installer reads it. For an installer: its switches and payload entries\n"
    "(name, compressed and inflated size), then the patch it carries (its second\n"
    "entry). For a patch: every text by key with its role, and every record\n"
    "(name, flags, old size and CRC, new CRC, kind, body size). Ends with the\n"
    "verdict: \"valid\", or the first fault with its offset. Exit code 0 only\n"
    "when the file is valid.\n"
    "Texts are bytes in the patch's code page, which the patch does not record:\n"
    "--codepage names it (default 932, Shift-JIS; ASCII reads the same in all of\n"
    "them); bytes that do not convert show as \\xNN.";

const char kJsonFooter[] =
    "JSON (--json): {\"file\", \"kind\": \"installer\"|\"patch\", \"valid\", \"fault\": null |\n"
    "{\"where\", \"offset\", \"message\"}, \"warnings\": [...], and for an installer\n"
    "\"size\", \"checksum_ok\", \"switches\", \"payload\": [{\"name\", \"offset\",\n"
    "\"compressed_size\", \"inflated_size\"}], \"patch_entry\"; \"patch\": {\"texts\": [{\"key\",\n"
    "\"offset\", \"role\", \"text\", \"hex\", \"in_effect\"}], \"records_offset\", \"records\":\n"
    "[{\"offset\", \"name\", \"flags\", \"old_size\", \"old_crc\", \"new_crc\",\n"
    "\"last_write_time\", \"kind\": \"full\"|\"delta\", \"body_size\"}]} (null when unread)}.";

std::string HexBytes(const Bytes& bytes) {
  std::string text;
  char pair[4];
  for (uint8_t byte : bytes) {
    std::snprintf(pair, sizeof pair, "%02x", byte);
    text += pair;
  }
  return text;
}

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\n') out += "\\n";
    else if (c == '"') out += "\\\"";
    else out += c;
  }
  return out + "\"";
}

std::string FlagNames(uint32_t flags) {
  std::string names;
  const uint32_t platform = flags & FlagPlatformMask;
  if (platform == Platform9x) names += " 9x-only";
  if (platform == PlatformNt) names += " nt-only";
  if (flags & FlagNoCreate) names += " no-create";
  if (flags & FlagOptional) names += " optional";
  return names;
}

struct Decoder {
  int codePage;
  std::string operator()(const std::string& text) const { return DecodeText(text, codePage); }
};

json PatchJson(const PatchInspection& patch, const Decoder& decode) {
  json texts = json::array();
  for (const InspectedText& text : patch.texts) {
    const std::string bytes(text.text.begin(), text.text.end());
    texts.push_back({{"key", text.key}, {"offset", text.offset}, {"role", TextRoleSummary(text.key)},
                     {"text", decode(bytes)}, {"hex", HexBytes(text.text)}, {"in_effect", text.inEffect}});
  }
  json records = json::array();
  for (const InspectedRecord& record : patch.records) {
    records.push_back({{"offset", record.offset}, {"name", decode(record.name)}, {"flags", record.flags},
                       {"old_size", record.oldSize}, {"old_crc", record.oldCrc}, {"new_crc", record.newCrc},
                       {"last_write_time", record.lastWriteTime},
                       {"kind", record.delta ? "delta" : "full"}, {"body_size", record.bodySize}});
  }
  return {{"texts", texts}, {"records_offset", patch.recordsOffset}, {"records", records}};
}

json FaultJson(const std::optional<InspectFault>& fault) {
  if (!fault) return nullptr;
  return {{"where", fault->where}, {"offset", fault->offset}, {"message", fault->message}};
}

void PrintPatch(const PatchInspection& patch, const Decoder& decode) {
  std::printf("texts (code page %d):\n", decode.codePage);
  for (const InspectedText& text : patch.texts) {
    std::printf("  %2d  %-44s %s%s\n", text.key, TextRoleSummary(text.key),
                Quoted(decode(std::string(text.text.begin(), text.text.end()))).c_str(),
                text.inEffect ? "" : "  (replaced by a later entry)");
  }
  if (patch.recordsOffset == 0) return;
  std::printf("records (%zu), from offset %s:\n", patch.records.size(), Hex8(patch.recordsOffset).c_str());
  std::printf("  %-10s  %-5s  %-10s  %-10s  %-10s  %-10s  %-5s  %s\n", "offset", "kind", "flags",
              "old size", "old CRC", "new CRC", "body", "name");
  for (const InspectedRecord& record : patch.records) {
    std::printf("  %s  %-5s  %-10s  %10u  %s  %s  %5u  %s%s\n", Hex8(record.offset).c_str(),
                record.delta ? "delta" : "full", Hex8(record.flags).c_str(), record.oldSize,
                Hex8(record.oldCrc).c_str(), Hex8(record.newCrc).c_str(), record.bodySize,
                decode(record.name).c_str(), FlagNames(record.flags).c_str());
  }
}

void PrintVerdict(const std::vector<std::string>& warnings, const std::optional<InspectFault>& fault) {
  for (const std::string& warning : warnings) std::printf("warning: %s\n", warning.c_str());
  if (fault)
    std::printf("INVALID: %s\n", fault->Describe().c_str());
  else
    std::printf("valid\n");
}

int InspectInstallerFile(const std::string& path, Bytes file, const Decoder& decode, bool asJson) {
  const InstallerInspection result =
      InspectInstaller(std::move(file), LeadByteTestFor(decode.codePage));
  if (asJson) {
    json payload = json::array();
    for (const InspectedEntry& entry : result.entries) {
      payload.push_back({{"name", entry.name}, {"offset", entry.offset},
                         {"compressed_size", entry.compressedSize},
                         {"inflated_size", entry.inflatedSize ? json(*entry.inflatedSize) : json(nullptr)}});
    }
    std::vector<std::string> warnings = result.warnings;
    if (result.patch) warnings.insert(warnings.end(), result.patch->warnings.begin(), result.patch->warnings.end());
    const json out = {{"file", path}, {"kind", "installer"}, {"valid", !result.fault},
                      {"fault", FaultJson(result.fault)}, {"warnings", warnings},
                      {"size", result.fileSize}, {"checksum_ok", result.checksumMatches},
                      {"switches", result.switches}, {"payload", payload},
                      {"patch_entry", result.patchName},
                      {"patch", result.patch ? PatchJson(*result.patch, decode) : json(nullptr)}};
    std::printf("%s\n", out.dump(2, ' ', false, json::error_handler_t::replace).c_str());
  } else {
    std::printf("%s: installer, %llu bytes, checksum %s\n", path.c_str(),
                static_cast<unsigned long long>(result.fileSize), result.checksumMatches ? "ok" : "wrong");
    std::printf("switches: %s\n", Quoted(result.switches).c_str());
    std::printf("payload (%zu entries):\n", result.entries.size());
    for (const InspectedEntry& entry : result.entries) {
      const std::string inflated = entry.inflatedSize ? std::to_string(*entry.inflatedSize) : "-";
      std::printf("  %s  %-24s %10u compressed %10s inflated\n", Hex8(entry.offset).c_str(),
                  entry.name.c_str(), entry.compressedSize, inflated.c_str());
    }
    if (result.patch) {
      std::printf("patch %s:\n", result.patchName.c_str());
      PrintPatch(*result.patch, decode);
      for (const std::string& warning : result.patch->warnings) std::printf("warning: %s\n", warning.c_str());
    }
    PrintVerdict(result.warnings, result.fault);
  }
  return result.fault ? 1 : 0;
}

int InspectPatchFile(const std::string& path, const Bytes& file, const Decoder& decode, bool asJson) {
  const PatchInspection result =
      InspectPatch(ByteView{file.data(), uint32_t(file.size())}, LeadByteTestFor(decode.codePage));
  if (asJson) {
    const json out = {{"file", path}, {"kind", "patch"}, {"valid", !result.fault},
                      {"fault", FaultJson(result.fault)}, {"warnings", result.warnings},
                      {"patch", PatchJson(result, decode)}};
    std::printf("%s\n", out.dump(2, ' ', false, json::error_handler_t::replace).c_str());
  } else {
    std::printf("%s: patch, %zu bytes\n", path.c_str(), file.size());
    PrintPatch(result, decode);
    PrintVerdict(result.warnings, result.fault);
  }
  return result.fault ? 1 : 0;
}

int RunInspect(int argc, char** argv) {
  CommandApp app(kDescription, "selfpatch inspect");
  app.footer(kJsonFooter);
  std::string path;
  bool asJson = false;
  int codePage = 932;
  app.add_option("file", path, "An installer (.exe) or a patch (.dif)")->required()->check(ExistingFile());
  app.add_flag("--json", asJson, "Print JSON for scripts");
  app.add_option("--codepage", codePage, "Code page of the patch's texts (0 or 65001: UTF-8)")
      ->capture_default_str();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error);
  }
  try {
    const Decoder decode{codePage};
    decode("");  // refuses an unknown code page before anything is printed
    Bytes file = ReadFileBytes(path);
    if (file.size() > 0x7FFFFFFF) throw FileError(path + ": too large");
    if (LooksLikeProgram(ByteView{file.data(), uint32_t(file.size())}))
      return InspectInstallerFile(path, std::move(file), decode, asJson);
    return InspectPatchFile(path, file, decode, asJson);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "selfpatch inspect: %s\n", error.what());
    return 1;
  }
}

const CommandRegistration registration({"inspect", "describe and check an installer or a patch", RunInspect});

}  // namespace
