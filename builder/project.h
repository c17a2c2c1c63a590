// The project file of `selfpatch make` and `selfpatch build`: a TOML file that
// names the product, the folder of the new version and the folders of the old
// versions, the texts, per-file options and the packing settings. Its format is
// described in docs/project-file.md.
#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// A fault of the project file; the message begins with "FILE:LINE: ".
class ProjectError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class Platform { kAny, k9x, kNt };

// Options of one file of the new version ([[files]]).
struct FileOptions {
  std::string path;  // relative to the new folder, '/' separators, as written
  bool optional = false;
  Platform platform = Platform::kAny;
  bool create = true;
  bool full = true;
  int line = 0;  // where the entry begins in the project file
};

struct PackSettings {
  std::vector<std::filesystem::path> run;  // follow-up programs, in order
  bool silent = false;
  bool killParent = false;
};

struct Project {
  std::filesystem::path file;  // the project file itself
  std::string productName, fromVersion, toVersion;
  std::string language = "en";
  int codepage = 0;  // 0: the language's own
  std::filesystem::path newFolder;
  std::vector<std::filesystem::path> oldFolders;  // oldest first
  bool chain = true;
  bool full = true;
  std::vector<std::pair<std::string, std::string>> texts;  // role or key -> UTF-8 text, in file order
  std::vector<FileOptions> files;
  PackSettings pack;

  // The code page of the patch's texts and names: `codepage`, else the language's.
  int CodePage() const { return codepage ? codepage : language == "ja" ? 932 : 1252; }

  // The options of `path` (relative to the new folder, '/' separators); the
  // project-wide defaults when the file has no [[files]] entry.
  FileOptions OptionsFor(const std::string& path) const;
};

// Reads the project in `text`, taken to be the content of `file`; relative
// paths are resolved against the folder of `file`, and every folder and file
// named must exist. Throws ProjectError.
Project ParseProject(std::string_view text, const std::filesystem::path& file);

// Reads and parses the project file at `file`. Throws ProjectError.
Project LoadProject(const std::filesystem::path& file);
