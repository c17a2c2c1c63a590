// Helpers of the tests of closing running applications: classapp.exe processes
// standing in for the product's applications, a user thread that answers this
// process's message boxes, and a fixture with short timeouts.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "driver/session.h"
#include "shutdown/close_win32.h"

namespace closetest {

constexpr char kCaption[] = "Close test";

inline std::string ToolPath(const char* name) {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path);
  folder.resize(folder.find_last_of('\\') + 1);
  return folder + name;
}

// The top-level window of `className` that belongs to `processId`, if any.
inline HWND FindWindowOf(const char* className, DWORD processId) {
  for (HWND window = nullptr; (window = FindWindowExA(nullptr, window, className, nullptr));) {
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == processId) return window;
  }
  return nullptr;
}

// A top-level window of this thread, of a class of its own (registered once).
inline HWND CreateOwnWindow(const char* className, WNDPROC procedure, HWND parent = nullptr) {
  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = procedure;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.lpszClassName = className;
  RegisterClassA(&windowClass);
  return CreateWindowExA(0, className, "", WS_POPUP, 0, 0, 10, 10, parent, nullptr,
                         windowClass.hInstance, nullptr);
}

// One running classapp.exe: a stand-in for the product's application.
class App {
 public:
  App(const std::string& className, const std::string& arguments) : className_(className) {
    std::string command = "\"" + ToolPath("classapp.exe") + "\" " + className + " " + arguments;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info_))
      return;
    CloseHandle(info_.hThread);
    for (int i = 0; i < 1000 && !window(); ++i) Sleep(10);
  }
  ~App() {
    if (!info_.hProcess) return;
    if (running()) TerminateProcess(info_.hProcess, 99);
    WaitForSingleObject(info_.hProcess, 5000);
    CloseHandle(info_.hProcess);
  }
  App(const App&) = delete;
  App& operator=(const App&) = delete;

  DWORD id() const { return info_.dwProcessId; }
  // The window once found is kept while it exists: a search of the window
  // list while another program creates its window can miss it under Wine.
  HWND window() const {
    if (!window_ || !IsWindow(window_))
      window_ = FindWindowOf(className_.c_str(), info_.dwProcessId);
    return window_;
  }
  bool running() const { return WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT; }
  // The exit code once the process has ended (within `ms`), else STILL_ACTIVE.
  DWORD ExitCode(DWORD ms = 5000) const {
    WaitForSingleObject(info_.hProcess, ms);
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(info_.hProcess, &code);
    return code;
  }
  void PostClose() const { PostMessageA(window(), WM_CLOSE, 0, 0); }

 private:
  std::string className_;
  PROCESS_INFORMATION info_ = {};
  mutable HWND window_ = nullptr;
};

// The user, on a second thread: answers this process's message boxes in order,
// running a step's action while its box is up. A box no step expects is
// cancelled and recorded all the same.
class User {
 public:
  struct Step {
    int button;
    std::function<void()> action;
  };
  explicit User(std::vector<Step> steps) : steps_(std::move(steps)) {
    thread_ = std::thread([this] { Run(); });
  }
  ~User() { Stop(); }
  // The texts of the boxes seen, once the user has stopped.
  std::vector<std::string> Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return texts_;
  }

 private:
  static HWND FindBox() {
    for (HWND box = nullptr; (box = FindWindowExA(nullptr, box, "#32770", kCaption));) {
      DWORD owner = 0;
      GetWindowThreadProcessId(box, &owner);
      if (owner == GetCurrentProcessId() && IsWindowVisible(box) &&
          (GetDlgItem(box, IDOK) || GetDlgItem(box, IDCANCEL)))
        return box;
    }
    return nullptr;
  }
  void Run() {
    while (!stop_) {
      HWND box = FindBox();
      if (!box) {
        Sleep(10);
        continue;
      }
      char text[1024] = "";
      GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
      texts_.push_back(text);
      const size_t index = texts_.size() - 1;
      int button = IDCANCEL;
      if (index < steps_.size()) {
        if (steps_[index].action) steps_[index].action();
        button = steps_[index].button;
      }
      SendMessageA(GetDlgItem(box, button), BM_CLICK, 0, 0);
      for (int i = 0; i < 500 && IsWindow(box); ++i) Sleep(10);
    }
  }

  std::vector<Step> steps_;
  std::vector<std::string> texts_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class CloseFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = closeClock;
    closeClock.endPauseMs = 0;
    session = UpdateSession();
    session.silent = 1;
    lstrcpyA(session.caption, kCaption);
    session.instance = GetModuleHandleA(nullptr);
  }
  void TearDown() override {
    closeClock = saved_;
    if (session.progressWindow) DestroyWindow(HWND(session.progressWindow));
    session = UpdateSession();
  }

  CloseClock saved_;
};

}  // namespace closetest
