// A scratch folder for project tests: versions of a product as folders of
// files, and a project file beside them. Removed when the test ends.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "builder/format/payload_writer.h"

class ProjectFolders {
 public:
  ProjectFolders() {
    std::string pattern = (std::filesystem::temp_directory_path() / "sp-project-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
  }
  ~ProjectFolders() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  ProjectFolders(const ProjectFolders&) = delete;
  ProjectFolders& operator=(const ProjectFolders&) = delete;

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path operator/(const std::string& relative) const { return root_ / relative; }

  // Writes `content` to `relative` (folders made as needed).
  void Write(const std::string& relative, const Bytes& content) const {
    const std::filesystem::path path = root_ / relative;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(content.data()), std::streamsize(content.size()));
  }
  void Write(const std::string& relative, const std::string& text) const {
    Write(relative, Bytes(text.begin(), text.end()));
  }
  void Folder(const std::string& relative) const { std::filesystem::create_directories(root_ / relative); }

 private:
  std::filesystem::path root_;
};

inline Bytes RandomContent(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes bytes(size);
  for (uint8_t& b : bytes) b = uint8_t(random());
  return bytes;
}

inline Bytes Joined(Bytes first, const Bytes& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

// `content` with a few bytes changed at `at`, as a small edit between versions.
inline Bytes Edited(Bytes content, size_t at) {
  for (size_t i = at; i < at + 8 && i < content.size(); ++i) content[i] ^= 0x5A;
  return content;
}
