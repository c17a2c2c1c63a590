#include "builder/cli/project_command.h"

#include <cstdio>
#include <iostream>
#include <stdexcept>

#include "builder/installer_limits.h"
#include "builder/verify.h"

namespace {

std::vector<std::filesystem::path> FoldersToVerify(const Project& project) {
  std::vector<std::filesystem::path> folders = project.oldFolders;
  folders.push_back(project.newFolder);
  return folders;
}

// A patch with files for the 9x family only is checked for that family's run too.
void CheckAgainstFolders(const Project& project, const Bytes& patch, const char* command) {
  const ByteView view{patch.data(), uint32_t(patch.size())};
  for (const VerifyReport& report : VerifyEachFamily(view, FoldersToVerify(project), project.CodePage())) {
    if (report.ok) continue;
    std::fprintf(stderr, "selfpatch %s: the patch does not bring every folder to the new version:\n",
                 command);
    std::cerr.flush();
    PrintVerifyReport(std::cerr, report);
    throw std::runtime_error("verification failed; nothing written");
  }
}

}  // namespace

ProjectPatch MakeVerifiedPatch(const std::string& projectFile, const char* command) {
  ProjectPatch result{LoadProject(std::filesystem::u8path(projectFile)), {}};
  result.made = MakePatch(result.project);
  // Refused before the costly verification: no installer could carry it.
  const std::string tooLarge = PatchLimitFault(result.made.bytes.size());
  if (!tooLarge.empty()) throw std::runtime_error(tooLarge);
  for (const std::string& warning : result.made.summary.warnings)
    std::fprintf(stderr, "selfpatch %s: warning: %s\n", command, warning.c_str());
  CheckAgainstFolders(result.project, result.made.bytes, command);
  return result;
}

void CheckWritten(const ProjectPatch& made, const Bytes& written, const std::string& output) {
  if (written != made.made.bytes)
    throw std::runtime_error(output + ": the patch read back is not the one verified");
}

void PrintPatchSummary(const ProjectPatch& made) {
  const MakeSummary& s = made.made.summary;
  std::printf("patch: %llu bytes for %zu files of %llu bytes (%zu with records, %zu unchanged)\n",
              (unsigned long long)s.patchBytes, s.files, (unsigned long long)s.newBytes, s.groups,
              s.unchangedFiles);
  std::printf("records: %zu delta, %zu chained, %zu full", s.deltaRecords, s.chainRecords,
              s.fullRecords);
  if (s.sharedCopies) std::printf("; %zu old copies share a record", s.sharedCopies);
  if (s.droppedDeltas) std::printf("; %zu deltas not smaller than the full content left out",
                                   s.droppedDeltas);
  std::printf("\nverified: %zu old folder(s) and the new folder come out as version %s\n",
              made.project.oldFolders.size(), made.project.toVersion.c_str());
  if (!s.warnings.empty()) std::printf("warnings: %zu (see above)\n", s.warnings.size());
}
