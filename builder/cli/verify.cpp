// selfpatch verify: a dry run of a patch over old installations.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "builder/cli/command.h"
#include "builder/cli/cli_app.h"
#include "builder/pack_files.h"
#include "builder/pack_inspect.h"
#include "builder/verify.h"

namespace {

using nlohmann::json;

const char kDescription[] =
    "Checks that a patch brings every old installation to the new version,\n"
    "without touching them. For each --from folder and each file of the patch it\n"
    "decides as the installer does which record applies to the folder's copy\n"
    "(chains included), or that the file is already new, is created, or is\n"
    "missing; it applies the records in memory with the installer's own decoder\n"
    "and checks every CRC, for the family of Windows that --platform names.\n"
    "PATCH may be a patch file or a packed installer (its patch entry is used).\n"
    "Exit code 0 only when every file ends new, or is an optional or no-create\n"
    "file that is missing; 1 when not; 2 for a damaged patch or unreadable input.";

const char kJsonFooter[] =
    "JSON (--json): {\"patch\", \"platform\": \"nt\" or \"9x\", \"ok\", \"rows\": [{\"old_folder\", \"name\",\n"
    "\"action\", \"expected_crc\", \"result_crc\", \"ok\", \"detail\"}]}.";

json ReportJson(const std::string& path, const VerifyReport& report) {
  json rows = json::array();
  for (const VerifyRow& row : report.rows) {
    rows.push_back({{"old_folder", row.oldFolder}, {"name", row.name}, {"action", row.action},
                    {"expected_crc", row.expectedCrc}, {"result_crc", row.resultCrc}, {"ok", row.ok},
                    {"detail", row.detail}});
  }
  return {{"patch", path}, {"platform", FamilyName(report.family)}, {"ok", report.ok}, {"rows", rows}};
}

int RunVerify(int argc, char** argv) {
  CommandApp app(kDescription, "selfpatch verify");
  app.footer(kJsonFooter);
  std::string path;
  std::vector<std::string> folders;
  bool asJson = false;
  int codePage = 0;
  std::string platform = "nt";
  app.add_option("patch", path, "A patch file (.dif) or a packed installer (.exe)")
      ->required()
      ->check(ExistingFile());
  app.add_option("--from", folders, "An old installation's folder (repeat for each old version)")
      ->required()
      ->check(ExistingFolder());
  app.add_flag("--json", asJson, "Print JSON for scripts");
  app.add_option("--codepage", codePage, "Code page of the record names (0: take the bytes as they are)")
      ->capture_default_str();
  app.add_option("--platform", platform,
                 "The family of Windows whose run is checked: nt, or 9x (records for the other\n"
                 "family only are passed over as the installer passes them over there)")
      ->check(CLI::IsMember({"nt", "9x"}))
      ->capture_default_str();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error);
  }
  try {
    const Bytes patch = PatchOfFile(ReadFileBytes(path), codePage);
    if (patch.size() > 0x7FFFFFFF) throw VerifyError(path + ": too large");
    std::vector<std::filesystem::path> oldFolders;
    for (const std::string& folder : folders) oldFolders.push_back(std::filesystem::u8path(folder));
    const WindowsFamily family = platform == "9x" ? WindowsFamily::Win9x : WindowsFamily::Nt;
    const VerifyReport report =
        VerifyPatch(ByteView{patch.data(), uint32_t(patch.size())}, oldFolders, codePage, family);
    if (asJson)
      std::cout << ReportJson(path, report).dump(2, ' ', false, json::error_handler_t::replace) << "\n";
    else
      PrintVerifyReport(std::cout, report);
    return report.ok ? 0 : 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "selfpatch verify: %s\n", error.what());
    return 2;
  }
}

const CommandRegistration registration({"verify", "check a patch against old installations", RunVerify});

}  // namespace
