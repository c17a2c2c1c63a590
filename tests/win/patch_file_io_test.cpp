#include <gtest/gtest.h>

#include <string>

#include "builder/format/delta_writer.h"
#include "patch/crc32.h"
#include "patch/delta_win32.h"
#include "patch/file_io_win32.h"

namespace {

std::string TempPath(const char* name) {
  char folder[MAX_PATH];
  GetTempPathA(MAX_PATH, folder);
  return std::string(folder) + name;
}

void WriteWholeFile(const std::string& path, const Bytes& content) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  if (!content.empty()) WriteFile(file, content.data(), DWORD(content.size()), &written, nullptr);
  CloseHandle(file);
}

Bytes ReadWholeFile(const std::string& path) {
  HANDLE file = OpenForRead(path.c_str());
  Bytes content(GetFileSize(file, nullptr));
  DWORD read = 0;
  if (!content.empty()) ReadFile(file, content.data(), DWORD(content.size()), &read, nullptr);
  CloseHandle(file);
  return content;
}

}  // namespace

TEST(FileCrc32, WholeFileThroughAMappingWithoutMovingThePointer) {
  const std::string path = TempPath("sp_crc_check.txt");
  WriteWholeFile(path, Bytes{'1', '2', '3', '4', '5', '6', '7', '8', '9'});
  HANDLE file = OpenForRead(path.c_str());
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  SetFilePointer(file, 3, nullptr, FILE_BEGIN);
  EXPECT_EQ(FileCrc32(file), 0xFC891918u);
  EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_CURRENT), 3u);
  CloseHandle(file);
  DeleteFileA(path.c_str());
}

TEST(FileCrc32, EmptyFileAndAFileStillOpenForWriting) {
  const std::string path = TempPath("sp_crc_written.tmp");
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(FileCrc32(file), 0u);  // an empty file cannot be mapped
  DWORD written = 0;
  WriteFile(file, "123456789", 9, &written, nullptr);
  EXPECT_EQ(FileCrc32(file), 0xFC891918u);
  CloseHandle(file);
  DeleteFileA(path.c_str());
}

TEST(OpenForRead, SharesWithWritersAndFailsForMissingFiles) {
  const std::string path = TempPath("sp_shared.txt");
  HANDLE writer = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  HANDLE reader = OpenForRead(path.c_str());
  EXPECT_NE(reader, INVALID_HANDLE_VALUE);
  CloseHandle(reader);
  CloseHandle(writer);
  DeleteFileA(path.c_str());
  EXPECT_EQ(OpenForRead(TempPath("sp_no_such_file.txt").c_str()), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

TEST(IsExistingFile, TrueOnlyForAFileThatIsThere) {
  const std::string file = TempPath("sp_is_file.txt");
  const std::string folder = TempPath("sp_is_folder");
  WriteWholeFile(file, Bytes{'x'});
  CreateDirectoryA(folder.c_str(), nullptr);
  EXPECT_TRUE(IsExistingFile(file.c_str()));
  EXPECT_FALSE(IsExistingFile(folder.c_str()));
  EXPECT_FALSE(IsExistingFile(TempPath("sp_no_such_file.txt").c_str()));
  DeleteFileA(file.c_str());
  RemoveDirectoryA(folder.c_str());
}

TEST(ApplyDeltaToFile, WritesTheNewFileAndStopsShortOnAFault) {
  const Bytes old = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'};
  DeltaWriter writer(old);
  writer.Literal(Bytes{'x', 'y'});
  writer.Copy(0, Bytes{'A', 'B', 'C', 'E'});
  writer.Copy(6, Bytes{'H', 'I'});
  Bytes delta = writer.Finish();

  const std::string path = TempPath("sp_delta.~up");
  struct Case {
    const char* what;
    uint32_t oldSize;
    Bytes expected;
  } cases[] = {
      {"whole old file", 8, {'x', 'y', 'A', 'B', 'C', 'E', 'H', 'I'}},
      {"old file too short for the second block", 7, {'x', 'y', 'A', 'B', 'C', 'E'}},
  };
  for (const Case& c : cases) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ApplyDelta(file, ByteView{delta.data(), uint32_t(delta.size())},
                         ByteView{old.data(), c.oldSize}),
              c.oldSize == 8)
        << c.what;
    CloseHandle(file);
    EXPECT_EQ(ReadWholeFile(path), c.expected) << c.what;
  }
  DeleteFileA(path.c_str());
}
