// Helpers of the user-interface tests: a watcher that answers real boxes from a
// second process, a guard that refuses and counts window creation on this
// thread, and pixel reads of what a window has drawn.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "driver/session.h"

namespace uitest {

// Starts the session afresh: no window, not silent, a known caption.
inline void ResetSession(const char* caption) {
  if (session.progressWindow) DestroyWindow(HWND(session.progressWindow));
  session.progressWindow = nullptr;
  session.silent = 0;
  session.instance = GetModuleHandleA(nullptr);
  lstrcpynA(session.caption, caption, sizeof session.caption);
}

// Dispatches this thread's messages for `ms` milliseconds.
inline void Pump(DWORD ms) {
  DWORD end = GetTickCount() + ms;
  do {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
    Sleep(5);
  } while (GetTickCount() < end);
}

// While alive, refuses every window that this thread tries to create and counts
// the attempts, so "nothing is shown" is checked without risking a hung box.
class CreationGuard {
 public:
  CreationGuard() {
    count_ = 0;
    hook_ = SetWindowsHookExA(WH_CBT, Hook, nullptr, GetCurrentThreadId());
  }
  ~CreationGuard() { UnhookWindowsHookEx(hook_); }
  int attempts() const { return count_; }

 private:
  static LRESULT CALLBACK Hook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_CREATEWND) {
      ++count_;
      return 1;
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
  }
  static inline int count_ = 0;
  HHOOK hook_;
};

// boxbot attached to this process: answers the next `answers.size()` boxes in
// order and reports them as JSON lines.
class Boxbot {
 public:
  explicit Boxbot(const std::vector<std::string>& answers) {
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path);
    folder.resize(folder.find_last_of('\\') + 1);
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    GetTempFileNameA(temp, "bb", 0, logPath_);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE log = CreateFileA(logPath_, GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, 0, nullptr);
    std::string command = "\"" + folder + "boxbot.exe\" --timeout 20 --count " +
                          std::to_string(answers.size()) + " --pid " +
                          std::to_string(GetCurrentProcessId());
    for (const std::string& answer : answers) command += " --answer " + answer;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = log;
    startup.hStdError = log;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION info = {};
    if (CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                       &startup, &info)) {
      CloseHandle(info.hThread);
      process_ = info.hProcess;
    }
    CloseHandle(log);
  }
  ~Boxbot() {
    Finish();
    DeleteFileA(logPath_);
  }
  bool started() const { return process_ != nullptr; }

  // Waits for boxbot to end and returns its "box" lines.
  std::vector<std::string> Finish() {
    if (process_) {
      WaitForSingleObject(process_, 25000);
      CloseHandle(process_);
      process_ = nullptr;
    }
    std::vector<std::string> boxes;
    HANDLE file = CreateFileA(logPath_, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return boxes;
    std::string text;
    char chunk[4096];
    DWORD got;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got) text.append(chunk, got);
    CloseHandle(file);
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(start, end - start);
      if (line.find("\"event\":\"box\"") != std::string::npos) boxes.push_back(line);
      start = end + 1;
    }
    return boxes;
  }

 private:
  HANDLE process_ = nullptr;
  char logPath_[MAX_PATH] = {};
};

// The value of a string or plain field in one JSON line (no nesting needed:
// the first occurrence of the key wins).
inline std::string Field(const std::string& line, const std::string& key) {
  std::string marker = "\"" + key + "\":";
  size_t at = line.find(marker);
  if (at == std::string::npos) return "<missing>";
  at += marker.size();
  if (line[at] != '"') {
    size_t end = line.find_first_of(",}", at);
    return line.substr(at, end - at);
  }
  std::string value;
  for (size_t i = at + 1; i < line.size() && line[i] != '"'; ++i) {
    if (line[i] == '\\' && i + 1 < line.size()) ++i;
    value += line[i];
  }
  return value;
}

// The pixels that a window has drawn into its client area, row by row.
struct Picture {
  int width = 0, height = 0;
  std::vector<COLORREF> pixels;
  COLORREF at(int x, int y) const { return pixels[size_t(y * width + x)]; }
  bool operator==(const Picture& other) const {
    return width == other.width && height == other.height && pixels == other.pixels;
  }
};

inline Picture Grab(HWND window) {
  Picture picture;
  RECT client;
  GetClientRect(window, &client);
  picture.width = client.right;
  picture.height = client.bottom;
  HDC source = GetDC(window);
  HDC memory = CreateCompatibleDC(source);
  HBITMAP bitmap = CreateCompatibleBitmap(source, picture.width, picture.height);
  HGDIOBJ previous = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, picture.width, picture.height, source, 0, 0, SRCCOPY);
  for (int y = 0; y < picture.height; ++y)
    for (int x = 0; x < picture.width; ++x) picture.pixels.push_back(GetPixel(memory, x, y));
  SelectObject(memory, previous);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(window, source);
  return picture;
}

// The smallest rectangle holding every pixel that differs from the corner's.
inline RECT InkBounds(const Picture& picture) {
  RECT bounds = {picture.width, picture.height, -1, -1};
  if (picture.pixels.empty()) return bounds;
  COLORREF background = picture.at(0, 0);
  for (int y = 0; y < picture.height; ++y) {
    for (int x = 0; x < picture.width; ++x) {
      if (picture.at(x, y) == background) continue;
      if (x < bounds.left) bounds.left = x;
      if (y < bounds.top) bounds.top = y;
      if (x > bounds.right) bounds.right = x;
      if (y > bounds.bottom) bounds.bottom = y;
    }
  }
  return bounds;
}

// Points this program's import of `function` from `dll` at `replacement` while
// alive, so a test sees the calls that the code under test makes.
class ImportPatch {
 public:
  ImportPatch(const char* dll, const char* function, void* replacement) {
    original_ = reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(dll), function));
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleA(nullptr));
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    auto* descriptor = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
    for (; original_ && descriptor->Name; ++descriptor) {
      if (lstrcmpiA(reinterpret_cast<char*>(base + descriptor->Name), dll) != 0) continue;
      auto* thunk = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
      for (; thunk->u1.Function; ++thunk) {
        if (reinterpret_cast<void*>(thunk->u1.Function) == original_) {
          slot_ = &thunk->u1.Function;
          Write(reinterpret_cast<ULONG_PTR>(replacement));
          return;
        }
      }
    }
  }
  ~ImportPatch() {
    if (slot_) Write(reinterpret_cast<ULONG_PTR>(original_));
  }
  bool active() const { return slot_ != nullptr; }
  void* original() const { return original_; }

 private:
  void Write(ULONG_PTR value) {
    DWORD protection;
    VirtualProtect(slot_, sizeof *slot_, PAGE_READWRITE, &protection);
    *slot_ = value;
    VirtualProtect(slot_, sizeof *slot_, protection, &protection);
  }
  void* original_ = nullptr;
  decltype(IMAGE_THUNK_DATA::u1.Function)* slot_ = nullptr;
};

}  // namespace uitest
