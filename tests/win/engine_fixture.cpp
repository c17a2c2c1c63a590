#include "engine_fixture.h"

#include <string.h>

#include <chrono>

#include "patch/header.h"


namespace testing_engine {

namespace {

void RemoveTree(const std::string& path) {
  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA((path + "\\*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = entry.cFileName;
      if (name == "." || name == "..") continue;
      const std::string child = path + "\\" + name;
      SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(child);
      } else {
        DeleteFileA(child.c_str());
      }
    } while (FindNextFileA(find, &entry));
    FindClose(find);
  }
  RemoveDirectoryA(path.c_str());
}

void MakeFolders(const std::string& path) {
  for (size_t at = path.find('\\', 3); at != std::string::npos; at = path.find('\\', at + 1)) {
    CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
  }
  CreateDirectoryA(path.c_str(), nullptr);
}

}  // namespace

const std::string& ScratchFolder::path() const {
  if (path_.empty()) {
    static int counter = 0;
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    path_ = std::string(temp) + "sp-engine-" + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string(++counter);
    RemoveTree(path_);
    MakeFolders(path_);
  }
  return path_;
}

ScratchFolder::~ScratchFolder() {
  if (!path_.empty()) RemoveTree(path_);
}

std::string ScratchFolder::Write(const std::string& relative, const Bytes& content) const {
  const std::string path = Path(relative);
  MakeFolders(path.substr(0, path.rfind('\\')));
  WriteAll(path, content);
  return path;
}

std::string ScratchFolder::MakeFolder(const std::string& relative) const {
  const std::string path = Path(relative);
  MakeFolders(path);
  return path;
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

Bytes ReadAll(const std::string& path) {
  Bytes content;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return content;
  content.resize(GetFileSize(file, nullptr));
  DWORD read = 0;
  if (!content.empty()) ReadFile(file, content.data(), DWORD(content.size()), &read, nullptr);
  content.resize(read);
  CloseHandle(file);
  return content;
}

void WriteAll(const std::string& path, const Bytes& content) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  if (!content.empty()) WriteFile(file, content.data(), DWORD(content.size()), &written, nullptr);
  CloseHandle(file);
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

void ResetSession() {
  session.failureCount = 0;
  session.updatedCount = 0;
  session.rebootNeeded = 0;
  session.cancelled = 0;
  session.silent = 0;
  session.lastProgressTick = 0;
  memset(session.candidateFolders, 0, sizeof session.candidateFolders);
  SetDefaultStrings(session.strings);
  strcpy(session.caption, "engine test");
}

void SetCandidates(const std::vector<std::string>& folders) {
  std::string list;
  for (const std::string& folder : folders) list += folder + ";";
  memset(session.candidateFolders, 0, sizeof session.candidateFolders);
  memcpy(session.candidateFolders, list.data(), list.size());
}


Bytes RecordsArea(const std::vector<PatchRecord>& records) {
  Bytes area;
  for (const PatchRecord& record : records) {
    const Bytes bytes = WriteRecord(record);
    area.insert(area.end(), bytes.begin(), bytes.end());
  }
  return area;
}

ByteView View(const Bytes& bytes) { return ByteView{bytes.data(), uint32_t(bytes.size())}; }

VersionedFile MakeVersionedFile(const std::string& name, uint64_t lastWriteTime) {
  VersionedFile file;
  for (int i = 0; i < 700; ++i) file.v1.push_back(uint8_t(i * 7 + i / 13));
  file.v2 = file.v1;
  for (size_t i = 100; i < 140; ++i) file.v2[i] ^= 0x5A;
  const Bytes tail = Text(" version two tail of " + name);
  file.v2.insert(file.v2.end(), tail.begin(), tail.end());
  file.v3 = file.v2;
  const Bytes inserted = Text("inserted in version three");
  file.v3.insert(file.v3.begin() + 300, inserted.begin(), inserted.end());
  file.v3[5] = 0xEE;

  file.r1 = DeltaRecord(name, file.v1, SimpleDelta(file.v1, file.v2));
  file.r2 = DeltaRecord(name, file.v2, SimpleDelta(file.v2, file.v3));
  file.r3 = FullRecord(name, file.v3);
  for (PatchRecord* record : {&file.r1, &file.r2, &file.r3}) record->lastWriteTime = lastWriteTime;
  return file;
}

namespace {

struct FindState {
  DWORD process;
  HWND box;
};

BOOL CALLBACK FindOwnBox(HWND window, LPARAM parameter) {
  FindState& state = *reinterpret_cast<FindState*>(parameter);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  char className[16] = "";
  GetClassNameA(window, className, sizeof className);
  // The progress window is a dialog too, but asks nothing.
  if (process == state.process && strcmp(className, "#32770") == 0 && IsWindowVisible(window) &&
      window != static_cast<HWND>(session.progressWindow)) {
    state.box = window;
    return FALSE;
  }
  return TRUE;
}

BOOL CALLBACK CollectStaticText(HWND child, LPARAM parameter) {
  std::string& text = *reinterpret_cast<std::string*>(parameter);
  char className[16] = "";
  GetClassNameA(child, className, sizeof className);
  char part[1024] = "";
  if (strcmp(className, "Static") == 0 && GetWindowTextA(child, part, sizeof part) > 0) {
    if (!text.empty()) text += "|";
    text += part;
  }
  return TRUE;
}

// A message box's text; for another dialog (the folder browser) its static texts.
std::string DialogText(HWND dialog) {
  char text[1024] = "";
  if (GetDlgItem(dialog, 0xFFFF)) {
    GetDlgItemTextA(dialog, 0xFFFF, text, sizeof text);
    return text;
  }
  std::string joined;
  EnumChildWindows(dialog, CollectStaticText, reinterpret_cast<LPARAM>(&joined));
  return joined;
}

}  // namespace

BoxAnswerer::BoxAnswerer(std::vector<int> answers, int fallback)
    : answers_(std::move(answers)), fallback_(fallback), thread_([this] { Run(); }) {
  // The thread's first window calls set up its side of the window system. Under
  // Wine, doing that while the tested code loads the shell's libraries (the
  // folder browser) can leave both threads waiting on each other for good.
  while (!looking_) Sleep(1);
}

BoxAnswerer::~BoxAnswerer() {
  stop_ = true;
  thread_.join();
}

std::vector<std::string> BoxAnswerer::Texts() {
  std::lock_guard<std::mutex> lock(mutex_);
  return texts_;
}

// Each dialog takes one answer. A dialog is answered only once its button
// exists and is enabled (the folder browser fills itself after it appears), and
// a click that did not close it is repeated with the same answer, so a slow
// dialog never consumes the answers meant for the next one.
void BoxAnswerer::Run() {
  size_t next = 0;
  HWND answered = nullptr;
  int answer = fallback_;
  while (!stop_) {
    FindState state{GetCurrentProcessId(), nullptr};
    EnumWindows(FindOwnBox, reinterpret_cast<LPARAM>(&state));
    looking_ = true;
    if (!state.box) {
      Sleep(5);
      continue;
    }
    if (state.box != answered) {
      const int candidate = next < answers_.size() ? answers_[next] : fallback_;
      HWND button = GetDlgItem(state.box, candidate);
      if (!button || !IsWindowEnabled(button)) {
        Sleep(5);
        continue;
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        texts_.push_back(DialogText(state.box));
      }
      if (next < answers_.size()) ++next;
      answered = state.box;
      answer = candidate;
    }
    SendMessageA(GetDlgItem(state.box, answer), BM_CLICK, 0, 0);
    for (int i = 0; i < 400 && IsWindow(state.box); ++i) Sleep(5);
    if (!IsWindow(state.box)) answered = nullptr;  // a later box may reuse the handle
  }
}

}  // namespace testing_engine
