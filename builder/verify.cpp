#include "builder/code_page.h"
#include "builder/verify.h"

#include <algorithm>
#include <iomanip>
#include <map>
#include <optional>
#include <set>

#include "builder/ascii_case.h"
#include "builder/format/delta_output.h"
#include "builder/hex.h"
#include "builder/parallel.h"
#include "builder/pack_files.h"
#include "builder/pack_inspect.h"
#include "builder/record_names.h"
#include "patch/crc32.h"
#include "patch/delta.h"
#include "patch/plan.h"
#include "patch/record_name.h"
#include "patch/records.h"

namespace {

namespace fs = std::filesystem;


// The consecutive records for one file, formed as the installer forms them.
struct Group {
  RecordGroup plan;
  ByteView records;  // the whole records area
  std::vector<FileRecord> members;
};

std::vector<Group> FormGroups(ByteView records, WindowsFamily family, int codepage) {
  std::vector<Group> groups;
  FileRecord first;
  uint32_t offset = 0;
  while (ReadRecord(records, offset, first)) {
    if (!PlatformFits(first.flags, family == WindowsFamily::Nt)) {
      offset = NextRecord(first);
      continue;
    }
    Group group{{}, records, {}};
    FormGroup(records, first, RecordNamesEqualFor(codepage), group.plan);
    FileRecord record;
    for (offset = group.plan.start; offset < group.plan.end && ReadRecord(records, offset, record);
         offset = NextRecord(record))
      group.members.push_back(record);
    offset = group.plan.end;
    groups.push_back(std::move(group));
  }
  return groups;
}

// The version a group brings a file to: the new CRC of its last full record,
// else the last new CRC from which no delta leads on.
uint32_t TargetCrc(const Group& group) {
  const std::vector<FileRecord>& members = group.members;
  for (auto record = members.rbegin(); record != members.rend(); ++record)
    if (record->oldSize == 0) return record->newCrc;
  for (auto record = members.rbegin(); record != members.rend(); ++record) {
    const bool leadsOn = std::any_of(members.begin(), members.end(), [&](const FileRecord& next) {
      return next.oldSize != 0 && next.oldCrc == record->newCrc;
    });
    if (!leadsOn) return record->newCrc;
  }
  return members.back().newCrc;
}

// The record for a copy of `crc` and `size` (0 and 0 for a file to create).
std::optional<FileRecord> Choose(const Group& group, uint32_t crc, uint32_t size, bool& upToDate) {
  FileRecord chosen;
  if (!ChooseRecord(group.records, group.plan, crc, size, chosen, upToDate)) return std::nullopt;
  return chosen;
}

std::optional<FileRecord> Continuation(const Group& group, uint32_t crc, uint32_t size) {
  FileRecord next;
  if (!FindContinuation(group.records, group.plan.start, group.plan.end, crc, size, next))
    return std::nullopt;
  return next;
}

uint32_t CrcOf(const Bytes& bytes) { return Crc32(bytes.data(), uint32_t(bytes.size())); }

// Record names are relative paths with '\' (or '/') between folders; one that
// could reach outside the folder is refused as the installer refuses it.
std::vector<std::string> NameComponents(const std::string& name) {
  if (const char* fault = RecordNameFault(name.c_str()))
    throw VerifyError("record name '" + name + "' is refused: " + fault);
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t end = name.find_first_of("\\/", start);
    parts.push_back(name.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

// `name` below `folder`, each component matched without regard to case as on
// Windows; components that do not exist are kept as written.
fs::path ResolvePath(const fs::path& folder, const std::vector<std::string>& parts) {
  fs::path path = folder;
  for (const std::string& part : parts) {
    fs::path next = path / fs::u8path(part);
    std::error_code error;
    if (!fs::exists(next, error) && fs::is_directory(path, error)) {
      for (const auto& entry : fs::directory_iterator(path, error))
        if (EqualIgnoringAsciiCase(entry.path().filename().u8string(), part)) {
          next = entry.path();
          break;
        }
    }
    path = next;
  }
  return path;
}

std::string StepText(const FileRecord& record, uint32_t producedCrc) {
  return std::string(record.oldSize ? "delta " : "full ") + Hex8(record.oldCrc) + " -> " + Hex8(producedCrc);
}

// The file a group updates, its name decoded from the patch's code page.
std::string GroupName(const Group& group, int codepage) {
  const char* name = group.members.front().name;
  return codepage ? DecodeText(name, codepage) : std::string(name);
}

// The lowered names that more than one group updates. Only for these does a
// run keep what it wrote: holding every file written would hold a copy of the
// whole new version.
std::set<std::string> NamesUpdatedAgain(const std::vector<Group>& groups, int codepage) {
  std::set<std::string> seen, again;
  for (const Group& group : groups) {
    std::string key = AsciiLower(GroupName(group, codepage));
    if (!seen.insert(key).second) again.insert(std::move(key));
  }
  return again;
}

// What the installer does to one folder's files, group after group; files it
// wrote earlier in the run are what later groups find.
class FolderRun {
 public:
  // `namesUpdatedAgain`: the lowered names of files that a later group
  // updates again, whose written content must be kept for it.
  FolderRun(const fs::path& folder, int codepage, const std::set<std::string>& namesUpdatedAgain)
      : folder_(folder), codepage_(codepage), namesUpdatedAgain_(namesUpdatedAgain) {}

  VerifyRow Run(const Group& group) {
    VerifyRow row;
    row.oldFolder = folder_.u8string();
    row.name = GroupName(group, codepage_);
    row.expectedCrc = TargetCrc(group);
    const fs::path path = ResolvePath(folder_, NameComponents(row.name));
    const std::string key = AsciiLower(row.name);
    std::optional<Bytes> copy = CurrentContent(key, path);
    const uint32_t crc = copy ? CrcOf(*copy) : 0;
    row.resultCrc = crc;
    if (stopped_) {
      row.action = "not reached";
      row.detail = "the installer ended the update at an earlier file";
      return row;
    }
    if (!copy) return Missing(group, path, key, row);
    bool upToDate = false;
    const std::optional<FileRecord> chosen = Choose(group, crc, uint32_t(copy->size()), upToDate);
    if (!chosen) {
      row.action = upToDate ? "already new" : "unknown version";
      row.ok = upToDate && crc == row.expectedCrc;
      if (!upToDate)
        row.detail = "no record fits its size " + std::to_string(copy->size()) + " and CRC " + Hex8(crc) +
                     ": the installer reports another version (key 25)";
      else if (!row.ok)
        row.detail = "it is the version another record makes: the installer leaves it as it is";
      return row;
    }
    const size_t steps = Apply(group, *chosen, &*copy, key, row);
    row.action = steps > 1 ? "chain" : chosen->oldSize ? "delta" : "full";
    return row;
  }

 private:
  std::optional<Bytes> CurrentContent(const std::string& key, const fs::path& path) {
    if (auto found = written_.find(key); found != written_.end()) return found->second;
    std::error_code error;
    if (!fs::is_regular_file(path, error)) return std::nullopt;
    return ReadFileBytes(path.u8string());
  }

  VerifyRow Missing(const Group& group, const fs::path& path, const std::string& key, VerifyRow& row) {
    const RecordGroup& plan = group.plan;
    if (!plan.creatable) {
      row.ok = plan.optional || plan.hasFullContent;
      row.action = plan.optional ? "missing (optional)" : plan.hasFullContent ? "missing (no-create)" : "missing";
      if (!row.ok) row.detail = "no record creates it: the installer reports it not found (key 23)";
      return row;
    }
    std::error_code error;
    if (!fs::is_directory(path.parent_path(), error)) {
      row.action = "not created";
      row.detail = "its folder " + path.parent_path().u8string() +
                   " does not exist: the installer cannot create the file there and ends the update (key 28)";
      stopped_ = true;
      return row;
    }
    bool upToDate = false;
    const std::optional<FileRecord> chosen = Choose(group, 0, 0, upToDate);
    if (!chosen) {  // full records with an oldCrc, and a record that makes an empty file
      row.action = "not created";
      row.detail = "the installer takes the missing file for an empty new one and creates nothing";
      return row;
    }
    row.action = "created";
    Apply(group, *chosen, nullptr, key, row);
    return row;
  }

  // Carries out the chain from `chosen` as the installer does: each step's
  // output must have the record's newCrc, and the next step is the first
  // record that starts from it, at most as many steps as the group has records.
  // Returns the number of steps carried out.
  size_t Apply(const Group& group, const FileRecord& chosen, const Bytes* old, const std::string& key,
               VerifyRow& row) {
    Bytes current = old ? *old : Bytes{};
    bool haveOld = old != nullptr;
    std::optional<FileRecord> record = chosen;
    std::string steps;
    size_t step = 0;
    for (; step < size_t(group.plan.recordCount) && record; ++step) {
      Bytes produced;
      if (haveOld && record->oldSize != 0) {
        produced = DecodeDelta(record->body, ViewOf(current));
      } else {
        produced.assign(record->body.data, record->body.data + record->body.size);
      }
      const uint32_t crc = CrcOf(produced);
      steps += (steps.empty() ? "" : ", ") + StepText(*record, crc);
      if (crc != record->newCrc) {
        row.detail = steps + ": the record says " + Hex8(record->newCrc) +
                     ", the installer ends the update (key 29)";
        stopped_ = true;
        return step + 1;
      }
      current = std::move(produced);
      haveOld = true;
      if (namesUpdatedAgain_.count(key)) written_[key] = current;
      row.resultCrc = crc;
      record = Continuation(group, crc, uint32_t(current.size()));
    }
    row.detail = steps;
    row.ok = row.resultCrc == row.expectedCrc;
    if (!row.ok) row.detail += ": the chain ends before the new version";
    return step;
  }

  fs::path folder_;
  int codepage_;
  const std::set<std::string>& namesUpdatedAgain_;
  std::map<std::string, Bytes> written_;  // by lowered name: files this run wrote that are updated again
  bool stopped_ = false;                  // an error has ended the installer's run
};

ByteView RecordsOf(ByteView patch, int codepage) {
  const PatchInspection inspection = InspectPatch(patch, LeadByteTestFor(codepage));
  if (inspection.fault) throw VerifyError("damaged patch: " + inspection.fault->Describe());
  return patch.From(inspection.recordsOffset);
}

VerifyReport VerifyRecords(ByteView records, const std::vector<fs::path>& oldFolders, int codepage,
                           WindowsFamily family, unsigned threads) {
  const std::vector<Group> groups = FormGroups(records, family, codepage);
  const std::set<std::string> namesUpdatedAgain = NamesUpdatedAgain(groups, codepage);

  VerifyReport report;
  report.family = family;
  for (const fs::path& folder : oldFolders) {
    std::error_code error;
    if (!fs::is_directory(folder, error)) throw VerifyError(folder.u8string() + ": not a folder");
  }
  // Folders side by side; each one's groups in order, as one installer run.
  std::vector<std::vector<VerifyRow>> rows(oldFolders.size());
  ParallelInOrder(
      oldFolders.size(), threads,
      [&](size_t i) {
        FolderRun run(oldFolders[i], codepage, namesUpdatedAgain);
        for (const Group& group : groups) rows[i].push_back(run.Run(group));
      },
      [&](size_t i) {
        for (VerifyRow& row : rows[i]) {
          report.ok = report.ok && row.ok;
          report.rows.push_back(std::move(row));
        }
      });
  return report;
}

bool HasRecordFor9xOnly(ByteView records) {
  FileRecord record;
  for (uint32_t offset = 0; ReadRecord(records, offset, record); offset = NextRecord(record))
    if ((record.flags & FlagPlatformMask) == Platform9x) return true;
  return false;
}

}  // namespace

const char* FamilyName(WindowsFamily family) { return family == WindowsFamily::Nt ? "nt" : "9x"; }

VerifyReport VerifyPatch(ByteView patch, const std::vector<fs::path>& oldFolders, int codepage,
                         WindowsFamily family) {
  return VerifyRecords(RecordsOf(patch, codepage), oldFolders, codepage, family, 0);
}

std::vector<VerifyReport> VerifyEachFamily(ByteView patch, const std::vector<fs::path>& oldFolders,
                                           int codepage, unsigned threads) {
  const ByteView records = RecordsOf(patch, codepage);
  std::vector<VerifyReport> reports{VerifyRecords(records, oldFolders, codepage, WindowsFamily::Nt, threads)};
  if (HasRecordFor9xOnly(records))
    reports.push_back(VerifyRecords(records, oldFolders, codepage, WindowsFamily::Win9x, threads));
  return reports;
}

Bytes PatchOfFile(Bytes file, int codepage) {
  if (!LooksLikeProgram(ByteView{file.data(), uint32_t(file.size())})) return file;
  InstallerInspection inspection = InspectInstaller(std::move(file), LeadByteTestFor(codepage));
  if (inspection.fault) throw VerifyError("damaged installer: " + inspection.fault->Describe());
  return std::move(inspection.patchContent);
}

void PrintVerifyReport(std::ostream& out, const VerifyReport& report) {
  size_t folderWidth = 6, nameWidth = 4, actionWidth = 6;
  for (const VerifyRow& row : report.rows) {
    folderWidth = std::max(folderWidth, row.oldFolder.size());
    nameWidth = std::max(nameWidth, row.name.size());
    actionWidth = std::max(actionWidth, row.action.size());
  }
  out << (report.family == WindowsFamily::Nt
              ? "platform: NT family (records for the 9x family only are passed over)\n"
              : "platform: 9x family (records for the NT family only are passed over)\n");
  out << std::left << std::setw(int(folderWidth)) << "folder" << "  " << std::setw(int(nameWidth)) << "file"
      << "  " << std::setw(int(actionWidth)) << "action" << "  " << std::setw(10) << "expected" << "  "
      << std::setw(10) << "result" << "  verdict\n";
  for (const VerifyRow& row : report.rows) {
    out << std::setw(int(folderWidth)) << row.oldFolder << "  " << std::setw(int(nameWidth)) << row.name << "  "
        << std::setw(int(actionWidth)) << row.action << "  " << Hex8(row.expectedCrc) << "  " << Hex8(row.resultCrc)
        << "  " << (row.ok ? "OK" : "FAIL");
    if (!row.detail.empty()) out << "  " << row.detail;
    out << "\n";
  }
  out << (report.ok ? "every file ends new\n" : "FAILED: not every file ends new\n");
}
