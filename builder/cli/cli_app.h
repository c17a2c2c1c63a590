// CLI11 as the commands use it, alike on Linux and Windows: options are
// written the same on both, and paths are UTF-8.
#pragma once

#include <CLI/CLI.hpp>
#include <filesystem>
#include <string>
#include <utility>

// CLI11's App without Windows-style options: "/x" is a path on every system.
class CommandApp : public CLI::App {
 public:
  CommandApp(std::string description, std::string name) : CLI::App(std::move(description), std::move(name)) {
    allow_windows_style_options(false);
  }
};

// CLI11's checks for existing files and folders, with the path read as UTF-8
// (CLI11's own reads it in the system's code page on Windows). Same names and
// messages as CLI11's.

namespace path_checks {

inline std::filesystem::file_type TypeOf(const std::string& path) {
  std::error_code error;
  return std::filesystem::status(std::filesystem::u8path(path), error).type();
}

inline bool Exists(std::filesystem::file_type type) {
  return type != std::filesystem::file_type::none && type != std::filesystem::file_type::not_found;
}

}  // namespace path_checks

inline CLI::Validator ExistingFile() {
  return CLI::Validator(
      [](std::string& path) {
        const std::filesystem::file_type type = path_checks::TypeOf(path);
        if (!path_checks::Exists(type)) return "File does not exist: " + path;
        if (type == std::filesystem::file_type::directory) return "File is actually a directory: " + path;
        return std::string();
      },
      "FILE");
}

inline CLI::Validator ExistingFolder() {
  return CLI::Validator(
      [](std::string& path) {
        const std::filesystem::file_type type = path_checks::TypeOf(path);
        if (!path_checks::Exists(type)) return "Directory does not exist: " + path;
        if (type != std::filesystem::file_type::directory) return "Directory is actually a file: " + path;
        return std::string();
      },
      "DIR");
}
