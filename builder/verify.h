// Dry run of a patch over old installations: for each old folder and each
// record group, the decision the installer would make (which record applies to
// the folder's copy, chains included, or that the file is already new, is
// created, or is missing), carried out in memory with the installer's own
// delta decoder, and every CRC checked. Nothing on disk is changed.
//
// The run is that of one family of Windows (NT unless asked otherwise): a
// record for the other family only is passed over where it would begin a group,
// as the installer does there.
#pragma once

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "builder/format/payload_writer.h"
#include "patch/bytes.h"

struct VerifyRow {
  std::string oldFolder, name, action;
  uint32_t expectedCrc = 0, resultCrc = 0;
  bool ok = false;
  std::string detail;
};
// action: "delta", "chain", "full", "already new", "created", "missing (optional)",
// "missing (no-create)", "missing", "unknown version", "not created", and "not
// reached" for files after an error that ends the installer's run.

enum class WindowsFamily { Nt, Win9x };

// "nt" or "9x", as the command line and JSON name them.
const char* FamilyName(WindowsFamily family);

struct VerifyReport {
  WindowsFamily family = WindowsFamily::Nt;
  std::vector<VerifyRow> rows;
  bool ok = true;
};

// A patch that the installer would refuse, or a folder that cannot be read.
class VerifyError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// `patch` is a patch file. Record names are bytes of the patch's code page;
// with `codepage` not 0 they are converted to UTF-8 to find the files (0 takes
// them as they are). Throws VerifyError naming the fault of a damaged patch.
VerifyReport VerifyPatch(ByteView patch, const std::vector<std::filesystem::path>& oldFolders,
                         int codepage = 0, WindowsFamily family = WindowsFamily::Nt);

// VerifyPatch for each family whose run of the patch differs: NT, and the 9x
// family as well when a record is for the 9x family only. The patch is checked
// once for all of them. Folders are run side by side on up to `threads`
// threads (0: one per processor).
std::vector<VerifyReport> VerifyEachFamily(ByteView patch,
                                           const std::vector<std::filesystem::path>& oldFolders,
                                           int codepage = 0, unsigned threads = 0);

// The patch a file holds: the file itself, or the patch entry of a packed
// installer, its names read in `codepage`. Throws VerifyError naming the fault
// of a damaged installer.
Bytes PatchOfFile(Bytes file, int codepage = 0);

void PrintVerifyReport(std::ostream& out, const VerifyReport& report);
