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
#include "builder/parallel.h"
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
  int order = 0;          // groups are written by order, then by name
  uint64_t readBytes = 0;  // the new file and its old copies
};

// The records of one file, written out, and what they serve.
struct GroupMade {
  std::vector<PatchRecord> records;  // without bodies
  std::vector<Bytes> written;        // each record as the patch holds it
  uint64_t recordOverhead = 0;       // a record's bytes besides its body (the same in a group)
  MakeSummary counts;                // counters only
  std::vector<std::string> warnings;
  std::vector<uint64_t> usedBytes;   // per old folder: the bytes of the records its copy uses
  std::vector<uint64_t> aloneBytes;  // per old folder: its records in a patch for it alone
  std::string decision;
  bool unchanged = false;  // the same in every old folder
};

std::string BytesText(uint64_t bytes) { return std::to_string(bytes) + " bytes"; }

class PatchMaker {
 public:
  PatchMaker(const Project& project, const MakeOptions& options)
      : project_(project), options_(options) {}

  MadePatch Make() {
    MadePatch made;
    made.patch.entries = BuildHeaderEntries(TextRequestFor(project_));
    made.patch.leadBytes = LeadByteTestFor(project_.CodePage());
    for (const fs::path& folder : project_.oldFolders) {
      oldIndexes_.push_back(IndexFolder(folder));
      summary_.versions.push_back({folder.u8string(), 0, 0, 0});
    }
    const FolderIndex newIndex = IndexFolder(project_.newFolder);
    ReportOldOnlyFiles(newIndex);
    const std::vector<FileJob> jobs = Jobs(newIndex);
    summary_.files = jobs.size();

    made.bytes = WritePatch(made.patch);
    for (VersionUse& version : summary_.versions) version.aloneBytes = made.bytes.size();
    FileDone progress{"", "", 0, jobs.size(), 0, 0};
    for (const FileJob& job : jobs) progress.bytesTotal += job.readBytes;

    std::vector<GroupMade> groups(jobs.size());
    ParallelInOrder(
        jobs.size(), options_.threads,
        [&](size_t i) {
          groups[i] = MakeGroup(jobs[i]);
          if (!groups[i].unchanged) ReleaseFreeMemory();
        },
        [&](size_t i) {
          GroupMade group = std::move(groups[i]);
          progress.relative = jobs[i].relative;
          progress.decision = group.decision;
          Add(made, std::move(group), jobs[i]);
          progress.filesDone = i + 1;
          progress.bytesDone += jobs[i].readBytes;
          if (options_.onFileDone) options_.onFileDone(progress);
        });
    Join(made.bytes);
    ReleaseFreeMemory();
    summary_.patchBytes = made.bytes.size();
    made.summary = summary_;
    return made;
  }

 private:
  std::vector<FileJob> Jobs(const FolderIndex& newIndex) const {
    std::vector<FileJob> jobs;
    for (const auto& [lower, relative] : newIndex.byLowerName) {
      FileJob job{relative, RecordNameOf(relative, project_.CodePage()), project_.OptionsFor(relative), 0,
                  FileSize(project_.newFolder / fs::u8path(relative))};
      for (size_t i = 0; i < oldIndexes_.size(); ++i)
        if (const std::string* name = OldCopy(i, relative))
          job.readBytes += FileSize(project_.oldFolders[i] / fs::u8path(*name));
      job.order = GroupOrder(job);
      jobs.push_back(job);
    }
    // Groups of files that old versions hold come first: the installer creates
    // a new file beside the last file it found, so the install folder must be
    // known before the first file is created.
    std::stable_sort(jobs.begin(), jobs.end(), [](const FileJob& a, const FileJob& b) {
      return std::tie(a.order, a.name) < std::tie(b.order, b.name);
    });
    return jobs;
  }

  static uint64_t FileSize(const fs::path& path) {
    std::error_code error;
    const uint64_t size = fs::file_size(path, error);
    return error ? 0 : size;
  }

  // Appends a finished group to the patch, in the order of the jobs.
  void Add(MadePatch& made, GroupMade group, const FileJob& job) {
    for (std::string& warning : group.warnings) summary_.warnings.push_back(std::move(warning));
    summary_.newBytes += group.counts.newBytes;
    summary_.unchangedFiles += group.unchanged;
    if (group.records.empty()) return;
    ++summary_.groups;
    const MakeSummary& c = group.counts;
    summary_.largestFileBytes = std::max(summary_.largestFileBytes, c.largestFileBytes);
    summary_.deltaRecords += c.deltaRecords;
    summary_.chainRecords += c.chainRecords;
    summary_.fullRecords += c.fullRecords;
    summary_.sharedCopies += c.sharedCopies;
    summary_.droppedDeltas += c.droppedDeltas;
    if (CrcListLength(group.records) > kCrcListMax)
      summary_.warnings.push_back(job.relative + ": more than " + std::to_string(kCrcListMax) +
                                  " versions; the installer's search looks only for the first ones");
    for (size_t i = 0; i < summary_.versions.size(); ++i) {
      VersionUse& version = summary_.versions[i];
      version.files += group.usedBytes[i] > 0;
      version.recordBytes += group.usedBytes[i];
      version.aloneBytes += group.aloneBytes[i];
    }
    for (size_t k = 0; k < group.records.size(); ++k) {
      pieces_.push_back(std::move(group.written[k]));
      made.patch.records.push_back(std::move(group.records[k]));
    }
  }

  // Appends the written records to `bytes` in one allocation, releasing each
  // as it is copied: a growing patch would need twice its size when it moves.
  void Join(Bytes& bytes) {
    uint64_t size = bytes.size();
    for (const Bytes& piece : pieces_) size += piece.size();
    bytes.reserve(size);
    for (Bytes& piece : pieces_) {
      bytes.insert(bytes.end(), piece.begin(), piece.end());
      Bytes().swap(piece);
    }
    pieces_.clear();
  }

  std::string OldFolderName(size_t index) const { return project_.oldFolders[index].u8string(); }
  std::string OldFolderLabel(size_t index) const {
    return project_.oldFolders[index].filename().u8string();
  }

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
      summary_.warnings.push_back(relative + " is only in old versions (" + Listed(folders) +
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
  std::vector<OldContent> OldContents(const std::string& relative, const Bytes& newBytes, uint32_t newCrc,
                                      std::vector<size_t>& missing, MakeSummary& counts) const {
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
                                 OldFolderName(same->folders[0]) + " differ but have the same size and CRC");
      same->folders.push_back(i);
      ++counts.sharedCopies;
    }
    return contents;
  }

  // The records of one file: per old content a delta (to the new file, or to
  // the next old content when that continues from there for fewer bytes), then
  // the full content as the fallback for any other copy and for a missing file.
  GroupMade MakeGroup(const FileJob& job) const {
    GroupMade made;
    const fs::path newPath = project_.newFolder / fs::u8path(job.relative);
    const Bytes newBytes = ReadSourceFile(newPath);
    const uint32_t newCrc = CrcOf(newBytes);
    std::vector<size_t> missing;
    std::vector<OldContent> contents = OldContents(job.relative, newBytes, newCrc, missing, made.counts);
    made.usedBytes.assign(oldIndexes_.size(), 0);
    made.aloneBytes.assign(oldIndexes_.size(), 0);
    made.counts.newBytes = newBytes.size();
    if (contents.empty() && missing.empty() && !oldIndexes_.empty()) {
      made.decision = "unchanged";
      made.unchanged = true;
      return made;
    }
    made.counts.largestFileBytes = newBytes.size();
    for (const OldContent& old : contents)
      made.counts.largestFileBytes = std::max<uint64_t>(made.counts.largestFileBytes, old.bytes.size());
    const bool full = job.options.full;
    const uint32_t flags = FlagsFor(job.options);
    const uint64_t stamp = LastWriteFileTime(newPath);

    // Newest first, so that each old content knows whether the next one keeps
    // a record to continue from.
    std::vector<std::optional<PatchRecord>> records(contents.size());
    std::vector<bool> chained(contents.size(), false);
    std::vector<uint64_t> directBodyBytes(contents.size(), 0);
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
      Bytes body = EncodeDeltaBody(ViewOf(old.bytes), ViewOf(newBytes), options_.encoder);
      directBodyBytes[k] = body.size();
      const bool canChain = project_.chain && k + 1 < contents.size() && records[k + 1];
      if (canChain) {
        Bytes chainBody = EncodeDeltaBody(ViewOf(old.bytes), ViewOf(contents[k + 1].bytes), options_.encoder);
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
        ++made.counts.droppedDeltas;
        chained[k] = false;
        continue;
      }
      PatchRecord record = DeltaRecord(job.name, old.bytes, body, flags);
      record.lastWriteTime = stamp;
      records[k] = std::move(record);
    }

    std::vector<std::optional<size_t>> placeOf(contents.size());  // index in made.records
    std::vector<std::string> parts;
    for (size_t k = 0; k < contents.size(); ++k) {
      if (!records[k]) continue;
      ++(chained[k] ? made.counts.chainRecords : made.counts.deltaRecords);
      placeOf[k] = made.records.size();
      parts.push_back(OldFolderLabel(contents[k].folders[0]) + (chained[k] ? ": chain (" : ": delta (") +
                      BytesText(records[k]->body.size()) + ")");
      Keep(made, std::move(*records[k]));
    }
    std::optional<size_t> fullPlace;
    if (full) {
      if (job.options.create) CheckFolderExists(job.relative, missing);
      PatchRecord record = FullRecord(job.name, newBytes, flags);
      record.lastWriteTime = stamp;
      fullPlace = made.records.size();
      parts.push_back("full (" + BytesText(newBytes.size()) + ")");
      Keep(made, std::move(record));
      ++made.counts.fullRecords;
    } else if (!missing.empty()) {
      const std::string what = job.relative + ": missing from " + Listed(missing) +
                               " and full = false: the patch cannot create it there";
      if (!job.options.optional)
        throw std::runtime_error(what + " (give it its full content, or mark it optional)");
      made.warnings.push_back(what);
    }
    for (const std::string& part : parts) made.decision += (made.decision.empty() ? "" : "; ") + part;

    // What each old folder's copy uses, and would use in a patch of its own.
    const uint64_t fullBytes = fullPlace ? made.written[*fullPlace].size() : 0;
    for (size_t i : missing) {
      made.usedBytes[i] = fullBytes;
      made.aloneBytes[i] = fullBytes;
    }
    for (size_t k = 0; k < contents.size(); ++k) {
      uint64_t used = 0;
      size_t at = k;
      while (placeOf[at]) {
        used += made.written[*placeOf[at]].size();
        if (!chained[at]) break;
        ++at;
      }
      if (!placeOf[k]) used = fullBytes;
      const bool directKept = directBodyBytes[k] > 0 && !(full && directBodyBytes[k] >= newBytes.size());
      const uint64_t alone = fullBytes + (directKept ? made.recordOverhead + directBodyBytes[k] : 0);
      for (size_t i : contents[k].folders) {
        made.usedBytes[i] = used;
        made.aloneBytes[i] = alone;
      }
    }
    return made;
  }

  // Writes a record out and keeps it without its body.
  void Keep(GroupMade& made, PatchRecord record) const {
    made.written.push_back(WriteRecord(record, LeadByteTestFor(project_.CodePage())));
    made.recordOverhead = made.written.back().size() - record.body.size();
    Bytes().swap(record.body);
    made.records.push_back(std::move(record));
  }

  const Project& project_;
  const MakeOptions& options_;
  std::vector<FolderIndex> oldIndexes_;
  MakeSummary summary_;
  std::vector<Bytes> pieces_;  // the records written so far, in order
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

MadePatch MakePatch(const Project& project, const MakeOptions& options) {
  return PatchMaker(project, options).Make();
}
