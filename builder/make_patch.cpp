#include "builder/make_patch.h"

#include <algorithm>
#include <map>
#include <set>
#include <stdexcept>
#include <tuple>

#include "builder/ascii_case.h"
#include "builder/code_page.h"
#include "builder/format/delta_output.h"
#include "builder/host.h"
#include "builder/pack_files.h"
#include "patch/crc32.h"
#include "patch/format.h"
#include "patch/record_name.h"
#include "patch/records.h"

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kLargestFile = (uint64_t(1) << 31) - 1;  // the delta encoder's limit

// One folder's files by their name without regard to case, as the installer
// finds them on Windows.
struct FolderIndex {
  fs::path folder;
  std::map<std::string, std::string> byLowerName;  // lower-case name -> name on disk
  std::set<std::string> lowerSubfolders;           // lower-case, '/' separators
};

// The files and sub-folders of `folder`, relative to it with '/' separators.
FolderIndex IndexFolder(const fs::path& folder) {
  FolderIndex index{folder, {}, {}};
  std::vector<std::string> files;
  for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator(); ++it) {
    const std::string relative = it->path().lexically_relative(folder).generic_u8string();
    if (it->is_directory()) index.lowerSubfolders.insert(AsciiLower(relative));
    else if (it->is_regular_file()) files.push_back(relative);
  }
  std::sort(files.begin(), files.end());  // so that a clash names the same pair every time
  for (const std::string& name : files) {
    const auto [at, added] = index.byLowerName.emplace(AsciiLower(name), name);
    if (!added)
      throw std::runtime_error(folder.u8string() + ": '" + at->second + "' and '" + name +
                               "' differ only in case, which Windows cannot hold in one folder");
  }
  return index;
}

Bytes ReadSourceFile(const fs::path& path) {
  std::error_code error;
  const uint64_t size = fs::file_size(path, error);
  if (!error && size > kLargestFile)
    throw std::runtime_error(path.u8string() + ": files of 2 GiB or more are not supported");
  return ReadFileBytes(path.u8string());
}

uint32_t CrcOf(const Bytes& bytes) { return Crc32(bytes.data(), uint32_t(bytes.size())); }

// One distinct content of a file among the old versions.
struct OldContent {
  Bytes bytes;
  uint32_t crc = 0;
  std::vector<size_t> folders;  // indexes into the old folders
};

bool SharesCrc(const std::vector<OldContent>& contents, size_t index) {
  for (size_t k = 0; k < contents.size(); ++k)
    if (k != index && contents[k].crc == contents[index].crc) return true;
  return false;
}

uint32_t FlagsFor(const FileOptions& options) {
  uint32_t flags = options.platform == Platform::k9x   ? Platform9x
                   : options.platform == Platform::kNt ? PlatformNt
                                                       : PlatformAny;
  if (!options.create) flags |= FlagNoCreate;
  if (options.optional) flags |= FlagOptional;
  return flags;
}

// The record name of a path relative to the install folder, in the patch's
// code page.
std::string RecordNameOf(const std::string& relative, int codepage) {
  std::string name = relative;
  std::replace(name.begin(), name.end(), '/', '\\');
  try {
    name = ConvertToCodePage(name, codepage);
  } catch (const std::exception& error) {
    throw std::runtime_error(relative + ": the name cannot be written in code page " +
                             std::to_string(codepage) + ": " + error.what());
  }
  if (const char* fault = RecordNameFault(name.c_str(), LeadByteTestFor(codepage)))
    throw std::runtime_error(relative + ": not a name the installer accepts for a file (" +
                             std::string(fault) + ")");
  return name;
}

// The CRCs that the installer offers its search for a group, in its order.
size_t CrcListLength(const std::vector<PatchRecord>& group) {
  std::vector<uint32_t> list;
  for (const PatchRecord& record : group) {
    list.push_back(record.oldCrc);
    if (std::find(list.begin(), list.end(), record.newCrc) == list.end()) list.push_back(record.newCrc);
  }
  return list.size();
}

struct FileJob {
  std::string relative;  // in the new folder, '/' separators
  std::string name;      // the record name
  FileOptions options;
  int order = 0;  // groups are written by order, then by name
};

class PatchMaker {
 public:
  PatchMaker(const Project& project, const EncoderOptions& encoder)
      : project_(project), encoder_(encoder) {}

  MadePatch Make() {
    MadePatch made;
    made.patch.entries = BuildHeaderEntries(TextRequestFor(project_));
    for (const fs::path& folder : project_.oldFolders) oldIndexes_.push_back(IndexFolder(folder));
    const FolderIndex newIndex = IndexFolder(project_.newFolder);
    ReportOldOnlyFiles(newIndex);

    std::vector<FileJob> jobs;
    for (const auto& [lower, relative] : newIndex.byLowerName) {
      FileJob job{relative, RecordNameOf(relative, project_.CodePage()), project_.OptionsFor(relative), 0};
      job.order = GroupOrder(job);
      jobs.push_back(job);
    }
    // Groups of files that old versions hold come first: the installer creates
    // a new file beside the last file it found, so the install folder must be
    // known before the first file is created.
    std::stable_sort(jobs.begin(), jobs.end(), [](const FileJob& a, const FileJob& b) {
      return std::tie(a.order, a.name) < std::tie(b.order, b.name);
    });
    summary_.files = jobs.size();
    for (const FileJob& job : jobs) {
      std::vector<PatchRecord> group = MakeGroup(job);
      if (group.empty()) continue;
      ++summary_.groups;
      if (CrcListLength(group) > kCrcListMax)
        Warn(job.relative + ": more than " + std::to_string(kCrcListMax) +
             " versions; the installer's search looks only for the first ones");
      for (PatchRecord& record : group) made.patch.records.push_back(std::move(record));
    }
    made.patch.leadBytes = LeadByteTestFor(project_.CodePage());
    made.bytes = WritePatch(made.patch);
    summary_.patchBytes = made.bytes.size();
    made.summary = summary_;
    return made;
  }

 private:
  void Warn(const std::string& text) { summary_.warnings.push_back(text); }

  std::string OldFolderName(size_t index) const { return project_.oldFolders[index].u8string(); }

  // The old folders at `indexes`, for messages.
  std::string Listed(const std::vector<size_t>& indexes) const {
    std::string list;
    for (size_t i : indexes) list += (list.empty() ? "" : ", ") + OldFolderName(i);
    return list;
  }

  void ReportOldOnlyFiles(const FolderIndex& newIndex) {
    std::map<std::string, std::vector<size_t>> oldOnly;
    for (size_t i = 0; i < oldIndexes_.size(); ++i)
      for (const auto& [lower, relative] : oldIndexes_[i].byLowerName)
        if (!newIndex.byLowerName.count(lower)) oldOnly[relative].push_back(i);
    for (const auto& [relative, folders] : oldOnly)
      Warn(relative + " is only in old versions (" + Listed(folders) +
           "): a patch cannot delete files, it stays where it is installed");
  }

  const std::string* OldCopy(size_t folder, const std::string& relative) const {
    const auto& index = oldIndexes_[folder].byLowerName;
    const auto at = index.find(AsciiLower(relative));
    return at == index.end() ? nullptr : &at->second;
  }

  int GroupOrder(const FileJob& job) const {
    bool inOld = false;
    for (size_t i = 0; i < oldIndexes_.size(); ++i) inOld |= OldCopy(i, job.relative) != nullptr;
    if (!inOld) return 2;
    return job.options.optional ? 1 : 0;
  }

  // The installer creates a missing file in its folder but creates no folders:
  // where the folder is missing too, it could not write the file and would end
  // the whole update.
  void CheckFolderExists(const std::string& relative, const std::vector<size_t>& missing) const {
    const std::string parent = fs::u8path(relative).parent_path().generic_u8string();
    if (parent.empty()) return;
    for (size_t i : missing)
      if (!oldIndexes_[i].lowerSubfolders.count(AsciiLower(parent)))
        throw std::runtime_error(relative + ": the folder " + parent + " is not in " + OldFolderName(i) +
                                 " and the installer creates files but no folders (set create = false "
                                 "for the file to leave it out where it is missing)");
  }

  // The distinct old contents of a file that differ from the new one, in the
  // order of the old folders (oldest first). `missing` gets the old folders
  // without the file.
  std::vector<OldContent> OldContents(const std::string& relative, const Bytes& newBytes,
                                      uint32_t newCrc, std::vector<size_t>& missing) {
    std::vector<OldContent> contents;
    for (size_t i = 0; i < oldIndexes_.size(); ++i) {
      const std::string* name = OldCopy(i, relative);
      if (!name) {
        missing.push_back(i);
        continue;
      }
      Bytes bytes = ReadSourceFile(project_.oldFolders[i] / fs::u8path(*name));
      const uint32_t crc = CrcOf(bytes);
      if (bytes == newBytes) continue;
      if (crc == newCrc && bytes.size() == newBytes.size())
        throw std::runtime_error(OldFolderName(i) + "/" + *name +
                                 " differs from the new file but has the same size and CRC");
      auto same = std::find_if(contents.begin(), contents.end(), [&](const OldContent& content) {
        return content.crc == crc && content.bytes.size() == bytes.size();
      });
      if (same == contents.end()) {
        contents.push_back({std::move(bytes), crc, {i}});
        continue;
      }
      if (same->bytes != bytes)
        throw std::runtime_error(OldFolderName(i) + "/" + *name + " and the copy in " +
                                 OldFolderName(same->folders[0]) +
                                 " differ but have the same size and CRC");
      same->folders.push_back(i);
      ++summary_.sharedCopies;
    }
    return contents;
  }

  // The records of one file: per old content a delta (to the new file, or to
  // the next old content when that continues from there for fewer bytes), then
  // the full content as the fallback for any other copy and for a missing file.
  std::vector<PatchRecord> MakeGroup(const FileJob& job) {
    const fs::path newPath = project_.newFolder / fs::u8path(job.relative);
    const Bytes newBytes = ReadSourceFile(newPath);
    const uint32_t newCrc = CrcOf(newBytes);
    summary_.newBytes += newBytes.size();
    std::vector<size_t> missing;
    std::vector<OldContent> contents = OldContents(job.relative, newBytes, newCrc, missing);
    if (contents.empty() && missing.empty() && !oldIndexes_.empty()) {
      ++summary_.unchangedFiles;
      return {};
    }
    const bool full = job.options.full;
    const uint32_t flags = FlagsFor(job.options);
    const uint64_t stamp = LastWriteFileTime(newPath);

    // Newest first, so that each old content knows whether the next one keeps
    // a record to continue from.
    std::vector<std::optional<PatchRecord>> records(contents.size());
    std::vector<bool> chained(contents.size(), false);
    for (size_t k = contents.size(); k-- > 0;) {
      const OldContent& old = contents[k];
      if (old.bytes.empty()) {
        // oldSize 0 marks a full record: an empty copy is served by the full
        // record, which matches it exactly.
        if (!full)
          throw std::runtime_error(job.relative + ": the copy in " + OldFolderName(old.folders[0]) +
                                   " is empty, which only a full record can update, but full = false");
        continue;
      }
      Bytes body = EncodeDeltaBody(ViewOf(old.bytes), ViewOf(newBytes), encoder_);
      const bool canChain = project_.chain && k + 1 < contents.size() && records[k + 1];
      if (canChain) {
        Bytes chainBody = EncodeDeltaBody(ViewOf(old.bytes), ViewOf(contents[k + 1].bytes), encoder_);
        if (chainBody.size() < body.size()) {
          body = std::move(chainBody);
          chained[k] = true;
        }
      }
      // A copy whose CRC is also another version's must keep its own record:
      // without an exact match, the installer takes any copy whose CRC a record
      // produces for up to date.
      const bool needsOwnRecord = old.crc == newCrc || SharesCrc(contents, k);
      if (full && body.size() >= newBytes.size() && !needsOwnRecord) {
        ++summary_.droppedDeltas;
        chained[k] = false;
        continue;
      }
      PatchRecord record = DeltaRecord(job.name, old.bytes, body, flags);
      record.lastWriteTime = stamp;
      records[k] = std::move(record);
    }
    std::vector<PatchRecord> group;
    for (size_t k = 0; k < contents.size(); ++k) {
      if (!records[k]) continue;
      ++(chained[k] ? summary_.chainRecords : summary_.deltaRecords);
      group.push_back(std::move(*records[k]));
    }
    if (full) {
      if (job.options.create) CheckFolderExists(job.relative, missing);
      PatchRecord record = FullRecord(job.name, newBytes, flags);
      record.lastWriteTime = stamp;
      group.push_back(std::move(record));
      ++summary_.fullRecords;
    } else if (!missing.empty()) {
      const std::string what = job.relative + ": missing from " + Listed(missing) +
                               " and full = false: the patch cannot create it there";
      if (!job.options.optional)
        throw std::runtime_error(what + " (give it its full content, or mark it optional)");
      Warn(what);
    }
    return group;
  }

  const Project& project_;
  const EncoderOptions& encoder_;
  std::vector<FolderIndex> oldIndexes_;
  MakeSummary summary_;
};

}  // namespace

TextRequest TextRequestFor(const Project& project) {
  TextRequest request;
  request.language = project.language;
  request.codepage = project.codepage;
  request.productName = project.productName;
  request.fromVersion = project.fromVersion;
  request.toVersion = project.toVersion;
  request.texts = project.texts;
  return request;
}

MadePatch MakePatch(const Project& project, const EncoderOptions& encoder) {
  return PatchMaker(project, encoder).Make();
}
