// Whole-file reads and writes for the tool's commands; errors name the file.
#pragma once

#include <stdexcept>
#include <string>

#include "builder/format/payload_writer.h"

class FileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The file's bytes; throws FileError "PATH: reason".
Bytes ReadFileBytes(const std::string& path);

// Writes `bytes` to a temporary file beside `path` and renames it over `path`,
// so a failure never leaves a half-written file; `executable` sets mode 0755.
void WriteFileReplacing(const std::string& path, const Bytes& bytes, bool executable);

// The last component of a path ("dir/a.dif" gives "a.dif").
std::string BaseName(const std::string& path);
