#include "builder/mapped_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>

namespace {

std::string WriteTemp(const std::string& name, const std::string& content) {
  const std::string path = ::testing::TempDir() + name;
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

}  // namespace

TEST(NativeFileCrc32, MappedFileGivesTheFormatCrc) {
  EXPECT_EQ(FileCrc32(WriteTemp("crc_check.txt", "123456789")), 0xFC891918u);
  EXPECT_EQ(FileCrc32(WriteTemp("crc_empty.txt", "")), 0u);
  EXPECT_THROW(FileCrc32(::testing::TempDir() + "crc_no_such_file"), std::runtime_error);
}
