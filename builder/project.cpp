#include "builder/project.h"

#include <algorithm>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <set>

#include <toml++/toml.h>

#include "builder/texts.h"

namespace fs = std::filesystem;

namespace {

class Reader {
 public:
  Reader(const fs::path& file) : file_(file) {
    base_ = file.parent_path();
  }

  [[noreturn]] void Fail(const toml::node* at, const std::string& what) const {
    const int line = at ? int(at->source().begin.line) : 1;
    FailAt(line, what);
  }
  [[noreturn]] void FailAt(int line, const std::string& what) const {
    throw ProjectError(file_.u8string() + ":" + std::to_string(line ? line : 1) + ": " + what);
  }

  // Refuses every key of `table` that is not in `allowed`.
  void CheckKeys(const toml::table& table, const std::string& section,
                 std::initializer_list<std::string_view> allowed) const {
    for (const auto& [key, node] : table) {
      if (std::find(allowed.begin(), allowed.end(), key.str()) != allowed.end()) continue;
      std::string known;
      for (std::string_view name : allowed) known += (known.empty() ? "" : ", ") + std::string(name);
      FailAt(int(key.source().begin.line),
             "unknown key '" + std::string(key.str()) + "' in " + section + " (known: " + known + ")");
    }
  }

  const toml::table* Section(const toml::table& root, const char* name, bool required) const {
    const toml::node* node = root.get(name);
    if (!node) {
      if (required) FailAt(1, std::string("missing section [") + name + "]");
      return nullptr;
    }
    if (!node->is_table()) Fail(node, std::string("'") + name + "' must be a section [" + name + "]");
    return node->as_table();
  }

  std::string String(const toml::table& table, const std::string& section, const char* key,
                     bool required, const std::string& fallback = "") const {
    const toml::node* node = table.get(key);
    if (!node) {
      if (required) Fail(&table, "missing key '" + std::string(key) + "' in " + section);
      return fallback;
    }
    if (!node->is_string()) Fail(node, section + " " + key + " must be a text in quotes");
    return node->as_string()->get();
  }

  bool Bool(const toml::table& table, const std::string& section, const char* key,
            bool fallback) const {
    const toml::node* node = table.get(key);
    if (!node) return fallback;
    if (!node->is_boolean()) Fail(node, section + " " + key + " must be true or false");
    return node->as_boolean()->get();
  }

  // A path from the project file, resolved against its folder.
  fs::path Resolve(const std::string& text) const {
    const fs::path path = fs::u8path(text);
    return path.is_absolute() || base_.empty() ? path : base_ / path;
  }

  fs::path Folder(const toml::node* node, const std::string& what) const {
    if (!node->is_string()) Fail(node, what + " must be a folder name in quotes");
    const std::string text = node->as_string()->get();
    if (text.empty()) Fail(node, what + " is empty");
    const fs::path path = Resolve(text);
    std::error_code error;
    if (!fs::exists(path, error)) Fail(node, what + " '" + text + "' does not exist (" + path.u8string() + ")");
    if (!fs::is_directory(path, error)) Fail(node, what + " '" + text + "' is not a folder");
    return path;
  }

 private:
  fs::path file_;
  fs::path base_;
};

void ReadProduct(const Reader& reader, const toml::table& root, Project& project) {
  const toml::table& product = *reader.Section(root, "product", true);
  reader.CheckKeys(product, "[product]", {"name", "from", "to", "language", "codepage"});
  project.productName = reader.String(product, "[product]", "name", true);
  project.fromVersion = reader.String(product, "[product]", "from", true);
  project.toVersion = reader.String(product, "[product]", "to", true);
  project.language = reader.String(product, "[product]", "language", false, "en");
  if (project.language != "en" && project.language != "ja")
    reader.Fail(product.get("language"),
                "[product] language '" + project.language + "' is neither \"en\" nor \"ja\"");
  if (const toml::node* node = product.get("codepage")) {
    if (!node->is_integer() || node->as_integer()->get() <= 0 || node->as_integer()->get() > 65535)
      reader.Fail(node, "[product] codepage must be a Windows code page number such as 1252 or 932");
    project.codepage = int(node->as_integer()->get());
  }
  const int codepage = project.CodePage();
  for (const char* key : {"name", "from", "to"}) {
    try {
      ConvertToCodePage(product.get(key)->as_string()->get(), codepage);
    } catch (const std::exception& error) {
      reader.Fail(product.get(key), std::string("[product] ") + key + ": " + error.what());
    }
  }
}

void ReadFolders(const Reader& reader, const toml::table& root, Project& project) {
  const toml::table& folders = *reader.Section(root, "folders", true);
  reader.CheckKeys(folders, "[folders]", {"new", "old"});
  const toml::node* newNode = folders.get("new");
  if (!newNode) reader.Fail(&folders, "missing key 'new' in [folders]");
  project.newFolder = reader.Folder(newNode, "[folders] new");
  const toml::node* oldNode = folders.get("old");
  if (!oldNode) reader.Fail(&folders, "missing key 'old' in [folders] (a list, oldest first)");
  if (!oldNode->is_array()) reader.Fail(oldNode, "[folders] old must be a list of folders, oldest first");
  std::error_code error;
  for (const toml::node& node : *oldNode->as_array()) {
    const fs::path folder = reader.Folder(&node, "[folders] old");
    if (fs::equivalent(folder, project.newFolder, error))
      reader.Fail(&node, "[folders] old names the new folder");
    for (const fs::path& earlier : project.oldFolders)
      if (fs::equivalent(folder, earlier, error))
        reader.Fail(&node, "[folders] old names '" + node.as_string()->get() + "' twice");
    project.oldFolders.push_back(folder);
  }
}

void ReadOptions(const Reader& reader, const toml::table& root, Project& project) {
  const toml::table* options = reader.Section(root, "options", false);
  if (!options) return;
  reader.CheckKeys(*options, "[options]", {"chain", "full"});
  project.chain = reader.Bool(*options, "[options]", "chain", true);
  project.full = reader.Bool(*options, "[options]", "full", true);
}

void ReadTexts(const Reader& reader, const toml::table& root, Project& project) {
  const toml::table* texts = reader.Section(root, "texts", false);
  if (!texts) return;
  const int codepage = project.CodePage();
  // In the order written in the file (the table itself is ordered by name).
  std::vector<std::pair<const toml::key*, const toml::node*>> entries;
  for (const auto& [key, node] : *texts) entries.push_back({&key, &node});
  std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
    const auto& x = a.first->source().begin;
    const auto& y = b.first->source().begin;
    return x.line != y.line ? x.line < y.line : x.column < y.column;
  });
  std::set<int> seen;
  for (const auto& [key, node] : entries) {
    const std::string role(key->str());
    const int line = int(key->source().begin.line);
    const std::optional<int> number = TextKeyFromName(role);
    if (!number) reader.FailAt(line, "[texts] '" + role + "' is neither a text role nor a key 0 to 49");
    if (!seen.insert(*number).second)
      reader.FailAt(line, "[texts] '" + role + "' sets key " + std::to_string(*number) + " a second time");
    if (!node->is_string()) reader.Fail(node, "[texts] " + role + " must be a text in quotes");
    const std::string text = node->as_string()->get();
    const std::string fault = CheckTextConversions(*number, text);
    if (!fault.empty()) reader.Fail(node, "[texts] " + role + ": " + fault);
    try {
      ConvertToCodePage(text, codepage);
    } catch (const std::exception& error) {
      reader.Fail(node, "[texts] " + role + ": " + error.what());
    }
    project.texts.push_back({role, text});
  }
}

// A path of a [[files]] entry: relative, '/' separators, no "." or ".." parts.
bool PlainRelativePath(const std::string& path) {
  if (path.empty() || path.front() == '/' || path.find('\\') != std::string::npos ||
      path.find(':') != std::string::npos)
    return false;
  size_t start = 0;
  while (start <= path.size()) {
    const size_t end = std::min(path.find('/', start), path.size());
    const std::string part = path.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = end + 1;
  }
  return true;
}

Platform ReadPlatform(const Reader& reader, const toml::table& entry) {
  const std::string text = reader.String(entry, "[[files]]", "platform", false, "any");
  if (text == "any") return Platform::kAny;
  if (text == "9x") return Platform::k9x;
  if (text == "nt") return Platform::kNt;
  reader.Fail(entry.get("platform"), "[[files]] platform '" + text + "' is not \"any\", \"9x\" or \"nt\"");
}

void ReadFiles(const Reader& reader, const toml::table& root, Project& project) {
  const toml::node* node = root.get("files");
  if (!node) return;
  if (!node->is_array_of_tables()) reader.Fail(node, "'files' must be written as [[files]] entries");
  std::set<std::string> seen;
  for (const toml::node& item : *node->as_array()) {
    const toml::table& entry = *item.as_table();
    reader.CheckKeys(entry, "[[files]]", {"path", "optional", "platform", "create", "full"});
    FileOptions options;
    options.line = int(entry.source().begin.line);
    options.path = reader.String(entry, "[[files]]", "path", true);
    const toml::node* pathNode = entry.get("path");
    if (!PlainRelativePath(options.path))
      reader.Fail(pathNode, "[[files]] path '" + options.path +
                                "' must be relative to the new folder, with '/' between folders "
                                "and no '.' or '..'");
    std::error_code error;
    if (!fs::is_regular_file(project.newFolder / fs::u8path(options.path), error))
      reader.Fail(pathNode, "[[files]] path '" + options.path + "' is not a file of the new folder (" +
                                project.newFolder.u8string() + ")");
    if (!seen.insert(options.path).second)
      reader.Fail(pathNode, "[[files]] path '" + options.path + "' has a second entry");
    options.optional = reader.Bool(entry, "[[files]]", "optional", false);
    options.platform = ReadPlatform(reader, entry);
    options.create = reader.Bool(entry, "[[files]]", "create", true);
    options.full = reader.Bool(entry, "[[files]]", "full", project.full);
    project.files.push_back(options);
  }
}

void ReadPack(const Reader& reader, const toml::table& root, Project& project) {
  const toml::table* pack = reader.Section(root, "pack", false);
  if (!pack) return;
  reader.CheckKeys(*pack, "[pack]", {"run", "silent", "kill_parent"});
  if (const toml::node* run = pack->get("run")) {
    if (!run->is_array()) reader.Fail(run, "[pack] run must be a list of programs");
    for (const toml::node& item : *run->as_array()) {
      if (!item.is_string()) reader.Fail(&item, "[pack] run must be a list of program names in quotes");
      const fs::path program = reader.Resolve(item.as_string()->get());
      std::error_code error;
      if (!fs::is_regular_file(program, error))
        reader.Fail(&item, "[pack] run: '" + item.as_string()->get() + "' is not a file (" +
                               program.u8string() + ")");
      project.pack.run.push_back(program);
    }
  }
  project.pack.silent = reader.Bool(*pack, "[pack]", "silent", false);
  project.pack.killParent = reader.Bool(*pack, "[pack]", "kill_parent", false);
}

}  // namespace

FileOptions Project::OptionsFor(const std::string& path) const {
  for (const FileOptions& options : files)
    if (options.path == path) return options;
  FileOptions defaults;
  defaults.path = path;
  defaults.full = full;
  return defaults;
}

Project ParseProject(std::string_view text, const fs::path& file) {
  const Reader reader(file);
  toml::table root;
  try {
    root = toml::parse(text, file.u8string());
  } catch (const toml::parse_error& error) {
    reader.FailAt(int(error.source().begin.line), std::string(error.description()));
  }
  reader.CheckKeys(root, "the project file", {"product", "folders", "options", "texts", "files", "pack"});
  Project project;
  project.file = file;
  ReadProduct(reader, root, project);
  ReadFolders(reader, root, project);
  ReadOptions(reader, root, project);
  ReadTexts(reader, root, project);
  ReadFiles(reader, root, project);
  ReadPack(reader, root, project);
  return project;
}

Project LoadProject(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw ProjectError(file.u8string() + ": cannot read the project file");
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return ParseProject(text, file);
}
