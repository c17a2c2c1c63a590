#include "builder/cli/project_command.h"

#include <cstdio>
#include <cstring>
#include <fstream>
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
void CheckAgainstFolders(const Project& project, const Bytes& patch, const char* command,
                         unsigned threads) {
  const ByteView view{patch.data(), uint32_t(patch.size())};
  const int codepage = project.CodePage();
  for (const VerifyReport& report : VerifyEachFamily(view, FoldersToVerify(project), codepage, threads)) {
    if (report.ok) continue;
    std::fprintf(stderr, "selfpatch %s: the patch does not bring every folder to the new version:\n",
                 command);
    std::cerr.flush();
    PrintVerifyReport(std::cerr, report);
    throw std::runtime_error("verification failed; nothing written");
  }
}

std::string Percent(uint64_t part, uint64_t whole) {
  char text[16];
  std::snprintf(text, sizeof text, "%.1f%%", whole ? 100.0 * double(part) / double(whole) : 0.0);
  return text;
}

}  // namespace

void AddRunOptions(CLI::App& app, RunOptions& options) {
  app.add_option("--threads", options.threads,
                 "Threads for encoding (files side by side, and within a large file), verifying and "
                 "compressing (default: one per processor)")
      ->check(CLI::Range(1, 256));
  app.add_flag("-q,--quiet", options.quiet, "No progress on standard error");
  app.add_flag("-v,--verbose", options.verbose, "List each file's records (or that it is unchanged)");
  app.add_flag("--json", options.json, "The summary as JSON on standard output");
}

ProjectPatch MakeVerifiedPatch(const std::string& projectFile, const char* command, const RunOptions& options,
                               ProgressLine& progress) {
  ProjectPatch result{LoadProject(std::filesystem::u8path(projectFile)), {}, {}};
  MakeOptions make;
  make.threads = options.threads;
  make.encoder.threads = options.threads;
  make.onFileDone = [&](const FileDone& done) {
    result.decisions.push_back({done.relative, done.decision});
    if (options.verbose && !options.json) {
      progress.Clear();
      std::printf("  %s: %s\n", done.relative.c_str(), done.decision.c_str());
      std::fflush(stdout);
    }
    progress.Show("making the patch", done.filesDone, done.filesTotal, done.bytesDone, done.bytesTotal);
  };
  result.made = MakePatch(result.project, make);
  progress.Clear();
  // Refused before the costly verification: no installer could carry it.
  const std::string tooLarge =
      InstallerLimitFault({result.made.bytes.size(), 0, result.made.summary.largestFileBytes});
  if (!tooLarge.empty()) throw std::runtime_error(tooLarge);
  for (const std::string& warning : result.made.summary.warnings)
    std::fprintf(stderr, "selfpatch %s: warning: %s\n", command, warning.c_str());
  progress.Show("verifying the patch against every folder");
  CheckAgainstFolders(result.project, result.made.bytes, command, options.threads);
  progress.Clear();
  return result;
}

void CheckWritten(const ProjectPatch& made, const std::string& output) {
  const Bytes& patch = made.made.bytes;
  std::ifstream in(std::filesystem::u8path(output), std::ios::binary);
  std::vector<char> buffer(1 << 20);
  size_t at = 0;
  bool same = bool(in);
  while (same && in) {
    in.read(buffer.data(), std::streamsize(buffer.size()));
    const size_t got = size_t(in.gcount());
    same = got <= patch.size() - at && std::memcmp(buffer.data(), patch.data() + at, got) == 0;
    at += got;
  }
  if (!same || at != patch.size())
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
  if (!s.versions.empty())
    std::printf("per old version (bytes of the patch before compression): the records its files use, "
                "and a patch for it alone\n");
  for (const VersionUse& version : s.versions)
    std::printf("  %s: %zu files, %llu bytes (%s of the patch); alone %llu bytes (%s)\n", version.folder.c_str(),
                version.files, (unsigned long long)version.recordBytes, Percent(version.recordBytes, s.patchBytes).c_str(),
                (unsigned long long)version.aloneBytes, Percent(version.aloneBytes, s.patchBytes).c_str());
  if (!s.warnings.empty()) std::printf("warnings: %zu (see above)\n", s.warnings.size());
}

nlohmann::json PatchSummaryJson(const ProjectPatch& made, bool withFiles) {
  const MakeSummary& s = made.made.summary;
  nlohmann::json versions = nlohmann::json::array();
  for (const VersionUse& version : s.versions)
    versions.push_back({{"folder", version.folder},
                        {"files", version.files},
                        {"record_bytes", version.recordBytes},
                        {"alone_bytes", version.aloneBytes}});
  nlohmann::json summary = {
      {"patch_bytes", s.patchBytes},
      {"files", s.files},
      {"new_bytes", s.newBytes},
      {"files_with_records", s.groups},
      {"unchanged_files", s.unchangedFiles},
      {"records", {{"delta", s.deltaRecords}, {"chained", s.chainRecords}, {"full", s.fullRecords}}},
      {"shared_copies", s.sharedCopies},
      {"dropped_deltas", s.droppedDeltas},
      {"versions", versions},
      {"warnings", s.warnings},
  };
  if (withFiles) {
    nlohmann::json files = nlohmann::json::array();
    for (const FileDecision& file : made.decisions)
      files.push_back({{"path", file.relative}, {"decision", file.decision}});
    summary["files_decided"] = files;
  }
  return summary;
}
