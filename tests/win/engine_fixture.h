// Shared pieces of the Win32 tests of locating and replacing files: a scratch
// folder with real files, the session reset to a fresh run, patch records made
// by the project's writers, and a thread that reads and answers message boxes.
#pragma once

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "builder/format/delta_writer.h"
#include "builder/format/patch_writer.h"
#include "driver/session.h"
#include "patch/bytes.h"
#include "tests/support/simple_delta.h"

namespace testing_engine {

// A folder of its own under the temporary folder, removed with everything in it.
// Made on first use, so that a test's child process (a death test) that never
// uses it leaves nothing behind.
class ScratchFolder {
 public:
  ~ScratchFolder();
  const std::string& path() const;
  // `relative` below the folder; folders on the way are created.
  std::string Write(const std::string& relative, const Bytes& content) const;
  std::string MakeFolder(const std::string& relative) const;
  std::string Path(const std::string& relative) const { return path() + "\\" + relative; }

 private:
  mutable std::string path_;
};

bool Exists(const std::string& path);
Bytes ReadAll(const std::string& path);
void WriteAll(const std::string& path, const Bytes& content);
Bytes Text(const std::string& text);

// A fresh run: counters zero, no folders, every text at its default, not silent.
void ResetSession();
void SetCandidates(const std::vector<std::string>& folders);

// The records area of a patch (what follows "DIF0").
Bytes RecordsArea(const std::vector<PatchRecord>& records);
ByteView View(const Bytes& bytes);

// Three versions of one file and a group that takes 1 to 2 to 3 by deltas, plus
// the full content of 3.
struct VersionedFile {
  Bytes v1, v2, v3;
  PatchRecord r1, r2, r3;
};
VersionedFile MakeVersionedFile(const std::string& name, uint64_t lastWriteTime = 0);

// Answers the message boxes of this process from another thread: the answers
// are button ids used in order (then `fallback`); every box's text is kept.
class BoxAnswerer {
 public:
  explicit BoxAnswerer(std::vector<int> answers, int fallback = IDOK);
  ~BoxAnswerer();
  std::vector<std::string> Texts();

 private:
  void Run();
  std::vector<int> answers_;
  int fallback_;
  std::mutex mutex_;
  std::vector<std::string> texts_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> looking_{false};
  std::thread thread_;
};

}  // namespace testing_engine
