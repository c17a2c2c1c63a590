// boxbot: reads and answers the dialogs of another Windows program, for tests.
//
//   boxbot [--timeout SECONDS] [--answer STEP]... [--count N] --pid PID
//   boxbot [--timeout SECONDS] [--answer STEP]... -- PROGRAM [ARGUMENTS...]
//
// With "--", it starts PROGRAM (the rest of its own command line, verbatim) and
// watches it until it ends; with --pid it watches a running process until that
// ends or N boxes were answered. Each dialog ("#32770" top-level window) of the
// process is recorded and answered with the next STEP: a button name (Yes, No,
// OK, Cancel, Abort, Retry, Ignore), optionally followed by "+hold", which waits
// for one line on standard input before pressing (time for a screenshot), or by
// "+folder=HEX" (a path in hexadecimal), which first selects that folder in a
// folder browser (only for a program that boxbot starts). A
// dialog with no step left, or without the button its step names, is answered
// with Cancel, else No, else OK, and recorded as unexpected. The progress window
// (a dialog whose control 0xFFFF is an owner-drawn static) is not answered; its
// title, rectangle and text are recorded whenever they change, and along with
// every box. --hold-progress HEX (a text in hexadecimal UTF-8) holds the program
// while its progress window shows that text, at the moment it goes to replace it,
// until a line comes on standard input, as "+hold" does for a box.
//
// A program that boxbot starts gets boxhook.dll hooked onto its thread: every
// text set on its windows and every top-level window it creates is then reported
// at once, so every progress text is recorded in order ("hooks":true). Without
// the hooks (--pid, or the DLL missing), changes are found by polling.
//
// Output: one JSON object per line on standard output, UTF-8:
//   {"event":"start", "pid":N, "workarea":[l,t,r,b], "screen":[w,h], "hooks":B}
//   {"event":"created", "class":...}                        a top-level window (hooks)
//   {"event":"progress", "title":..., "text":..., "rect":[l,t,r,b], "visible":B,
//    "foreground":B}
//   {"event":"window", "class":..., "title":...}          any other top-level window
//   {"event":"box", "index":I, "kind":"message"|"dialog", "caption":..., "text":...,
//    "icon":"error"|"question"|"warning"|"information"|"none"|"unknown",
//    "buttons":[...], "owner":"progress"|"none"|"other", "progress":{...}|null,
//    "above_progress":B|null (in the window order the system reports, once the
//    box has been up for a moment),
//    "expected":B, "answer":...}
//   {"event":"hold", "index":I} or {"event":"hold", "progress":TEXT}
//                                                            waiting for a stdin line
//   {"event":"exit", "code":N, "unused":K}                  the program ended
//   {"event":"timeout"}                                      the program was ended by force
// Every wait is bounded by --timeout (default 60 s); on timeout the program is
// terminated with exit code 1000. boxbot's own exit code: 0, or 3 on timeout,
// or 2 on a usage error.
#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "boxhook_protocol.h"

namespace {

constexpr int kMessageTextId = 0xFFFF;
constexpr int kIconId = 1088;
constexpr DWORD kPollMs = 5;

struct Step {
  std::string button;
  bool hold = false;
  std::string folder;  // selected in a folder browser before the button is pressed
};

struct Options {
  std::vector<Step> steps;
  DWORD timeoutMs = 60000;
  DWORD pid = 0;
  int count = -1;  // attach mode: stop after this many boxes
  std::vector<std::string> holdTexts;  // progress texts (UTF-8) to hold the program at
  std::wstring commandLine;
};

struct Button {
  int id;
  const char* name;
};
const Button kButtons[] = {{IDYES, "Yes"},     {IDNO, "No"},       {IDOK, "OK"},
                           {IDCANCEL, "Cancel"}, {IDABORT, "Abort"}, {IDRETRY, "Retry"},
                           {IDIGNORE, "Ignore"}};

// ---- output ---------------------------------------------------------------

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0,
                                 nullptr, nullptr);
  std::string out(size_t(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), &out[0], size, nullptr,
                      nullptr);
  return out;
}

std::string Json(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += char(c);
    }
  }
  return out + "\"";
}

std::string Json(const std::wstring& text) { return Json(Utf8(text)); }
std::string Json(bool value) { return value ? "true" : "false"; }
std::string Json(const RECT& r) {
  char text[80];
  std::snprintf(text, sizeof text, "[%ld,%ld,%ld,%ld]", long(r.left), long(r.top),
                long(r.right), long(r.bottom));
  return text;
}

void Emit(const std::string& line) {
  std::string out = line + "\n";
  DWORD written;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), out.data(), DWORD(out.size()), &written, nullptr);
  FlushFileBuffers(GetStdHandle(STD_OUTPUT_HANDLE));
}

// ---- reading windows ------------------------------------------------------

std::wstring WindowText(HWND window) {
  if (!window) return {};
  wchar_t text[4096];
  int length = GetWindowTextW(window, text, 4096);
  return std::wstring(text, size_t(length > 0 ? length : 0));
}

std::wstring ClassName(HWND window) {
  wchar_t name[256];
  int length = GetClassNameW(window, name, 256);
  return std::wstring(name, size_t(length > 0 ? length : 0));
}

HWND Control(HWND dialog, int id) { return GetDlgItem(dialog, id); }

bool IsProgressWindow(HWND window) {
  HWND text = Control(window, kMessageTextId);
  return text && (GetWindowLongW(text, GWL_STYLE) & SS_TYPEMASK) == SS_OWNERDRAW;
}

std::string ProgressJson(HWND window) {
  RECT frame;
  GetWindowRect(window, &frame);
  return "{\"title\":" + Json(WindowText(window)) +
         ",\"text\":" + Json(WindowText(Control(window, kMessageTextId))) +
         ",\"rect\":" + Json(frame) + ",\"visible\":" + Json(IsWindowVisible(window) != 0) +
         ",\"foreground\":" + Json(GetForegroundWindow() == window) + "}";
}

// Waits up to `ms`, handling the reports of the hooks meanwhile.
void Idle(DWORD ms, HANDLE handle = nullptr) {
  DWORD end = GetTickCount() + ms;
  for (;;) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    DWORD now = GetTickCount();
    if (now >= end) return;
    DWORD count = handle ? 1 : 0;
    DWORD woke = MsgWaitForMultipleObjects(count, &handle, FALSE, end - now, QS_ALLINPUT);
    if (handle && woke == WAIT_OBJECT_0) return;
  }
}

// ---- icon kind: compare the box's icon on screen with the system icons ----

using Pixels = std::vector<COLORREF>;

Pixels ReadPixels(HDC memory, int size) {
  Pixels pixels(size_t(size * size));
  for (int row = 0; row < size; ++row)
    for (int column = 0; column < size; ++column)
      pixels[size_t(row * size + column)] = GetPixel(memory, column, row);
  return pixels;
}

// Copies a square of `source` into a bitmap, lets `paint` draw over it, and
// returns the pixels.
template <typename Paint>
Pixels Snapshot(HDC source, int x, int y, int size, Paint paint) {
  HDC memory = CreateCompatibleDC(source);
  HBITMAP bitmap = CreateCompatibleBitmap(source, size, size);
  HGDIOBJ previous = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, size, size, source, x, y, SRCCOPY);
  paint(memory);
  Pixels pixels = ReadPixels(memory, size);
  SelectObject(memory, previous);
  DeleteObject(bitmap);
  DeleteDC(memory);
  return pixels;
}

Pixels RenderIcon(HICON icon, COLORREF background, int size) {
  HDC screen = GetDC(nullptr);
  Pixels pixels = Snapshot(screen, 0, 0, size, [&](HDC memory) {
    HBRUSH brush = CreateSolidBrush(background);
    RECT all = {0, 0, size, size};
    FillRect(memory, &all, brush);
    DeleteObject(brush);
    DrawIconEx(memory, 0, 0, icon, size, size, 0, nullptr, DI_NORMAL);
  });
  ReleaseDC(nullptr, screen);
  return pixels;
}

double Difference(const Pixels& a, const Pixels& b) {
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    sum += std::abs(int(GetRValue(a[i])) - int(GetRValue(b[i]))) +
           std::abs(int(GetGValue(a[i])) - int(GetGValue(b[i]))) +
           std::abs(int(GetBValue(a[i])) - int(GetBValue(b[i])));
  }
  return a.empty() ? 1e9 : sum / double(a.size());
}

// Returns the kind whose system icon matches the pixels of the box's icon, or
// "unknown" while nothing matches closely (the box may not be painted yet).
std::string MatchIcon(HWND iconControl) {
  struct Kind {
    WORD id;
    const char* name;
  };
  // IDI_HAND, IDI_QUESTION, IDI_EXCLAMATION, IDI_ASTERISK
  const Kind kinds[] = {
      {32513, "error"}, {32514, "question"}, {32515, "warning"}, {32516, "information"}};
  const int size = GetSystemMetrics(SM_CXICON);
  RECT frame;
  GetWindowRect(iconControl, &frame);
  HDC screen = GetDC(nullptr);
  Pixels shown = Snapshot(screen, frame.left, frame.top, size, [](HDC) {});
  ReleaseDC(nullptr, screen);

  const char* best = "unknown";
  double bestScore = 1e9;
  for (const Kind& kind : kinds) {
    double score = Difference(shown, RenderIcon(LoadIconW(nullptr, MAKEINTRESOURCEW(kind.id)), shown[0], size));
    if (score < bestScore) {
      bestScore = score;
      best = kind.name;
    }
  }
  return bestScore < 12.0 ? best : "unknown";
}

std::string IconKind(HWND box, DWORD deadline) {
  HWND icon = Control(box, kIconId);
  if (!icon || !IsWindowVisible(icon)) return "none";
  std::string kind = "unknown";
  for (;;) {
    kind = MatchIcon(icon);
    if (kind != "unknown" || GetTickCount() > deadline) return kind;
    Idle(20);
  }
}

// Whether `window` comes before `other` in the order of top-level windows, top
// first, as the system reports it.
bool IsAbove(HWND window, HWND other) {
  for (HWND w = GetTopWindow(nullptr); w; w = GetWindow(w, GW_HWNDNEXT)) {
    if (w == window) return true;
    if (w == other) return false;
  }
  return false;
}

// ---- the watcher ------------------------------------------------------------

struct Watcher {
  Options options;
  HANDLE process = nullptr;
  size_t nextStep = 0;
  int boxes = 0;
  DWORD deadline = 0;
  std::vector<HWND> handled;  // boxes answered, other windows reported
  HWND progress = nullptr;
  std::string lastProgress;
  bool hooks = false;

  bool Seen(HWND window) const {
    for (HWND seen : handled)
      if (seen == window) return true;
    return false;
  }

  std::vector<HWND> Windows() const {
    struct Search {
      DWORD pid;
      std::vector<HWND> found;
    } search{options.pid, {}};
    struct Collect {
      static BOOL CALLBACK Add(HWND window, LPARAM data) {
        auto* s = reinterpret_cast<Search*>(data);
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        if (pid == s->pid) s->found.push_back(window);
        return TRUE;
      }
    };
    EnumWindows(Collect::Add, LPARAM(&search));
    return search.found;
  }

  // Polling reports changes only; a hook reports every text set.
  void NoteProgress(HWND window, bool always = false) {
    progress = window;
    std::string state = ProgressJson(window);
    if (state == lastProgress && !always) return;
    lastProgress = state;
    Emit("{\"event\":\"progress\"," + state.substr(1));
  }

  // A hook report: the program waits in it, so what is read here is current.
  void OnHook(const HookReport& report) {
    HWND window = HWND(uintptr_t(report.window));
    if (report.event == HookTopLevelCreated) {
      Emit("{\"event\":\"created\",\"class\":" + Json(ClassName(window)) + "}");
      return;
    }
    HWND dialog = GetParent(window);
    if (!dialog || !IsProgressWindow(dialog) || GetDlgItem(dialog, kMessageTextId) != window ||
        !IsWindowVisible(dialog))
      return;
    if (report.event == HookTextSet) {
      NoteProgress(dialog, true);
      return;
    }
    // About to replace the text: what the window shows now is the last text.
    std::string text = Utf8(WindowText(window));
    for (const std::string& hold : options.holdTexts) {
      if (hold == text) {
        Emit("{\"event\":\"hold\",\"progress\":" + Json(text) + "}");
        WaitForInputLine();
      }
    }
  }

  bool WaitForInputLine() {
    struct Reader {
      static DWORD WINAPI Run(void*) {
        char c;
        DWORD got;
        while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &c, 1, &got, nullptr) && got == 1)
          if (c == '\n') return 0;
        return 1;
      }
    };
    HANDLE thread = CreateThread(nullptr, 0, Reader::Run, nullptr, 0, nullptr);
    if (!thread) return false;
    DWORD now = GetTickCount();
    DWORD left = deadline > now ? deadline - now : 0;
    bool got = WaitForSingleObject(thread, left) == WAIT_OBJECT_0;
    CloseHandle(thread);
    return got;
  }

  void Answer(HWND box) {
    handled.push_back(box);
    bool expected = nextStep < options.steps.size();
    Step step = expected ? options.steps[nextStep++] : Step{};
    std::string buttons;
    std::vector<const Button*> present;
    for (const Button& button : kButtons) {
      HWND control = Control(box, button.id);
      if (control && IsWindowVisible(control) && ClassName(control) == L"Button") {
        buttons += (buttons.empty() ? "" : ",") + Json(std::string(button.name));
        present.push_back(&button);
      }
    }
    // A box beyond the script, or without the button its step names, is not
    // what the test expects: it is answered with a default so the run goes on.
    bool named = false;
    for (const Button* button : present) named = named || step.button == button->name;
    if (!named) {
      expected = false;
      step.button.clear();
      for (const char* fallback : {"Cancel", "No", "OK"}) {
        for (const Button* button : present)
          if (step.button.empty() && std::string(button->name) == fallback)
            step.button = fallback;
      }
    }
    HWND owner = GetWindow(box, GW_OWNER);
    if (progress && !IsWindow(progress)) progress = nullptr;
    if (!progress) {
      for (HWND window : Windows())
        if (IsProgressWindow(window)) progress = window;
    }
    const bool message = Control(box, kMessageTextId) != nullptr;
    DWORD iconDeadline = GetTickCount() + 2000;
    const std::string icon = IconKind(box, iconDeadline);
    Idle(150);  // what the box's own loop does first (a posted message) is done
    Emit("{\"event\":\"box\",\"index\":" + std::to_string(boxes) + ",\"kind\":" +
         Json(std::string(message ? "message" : "dialog")) +
         ",\"caption\":" + Json(WindowText(box)) +
         ",\"text\":" + Json(WindowText(Control(box, kMessageTextId))) +
         ",\"icon\":" + Json(icon) + ",\"buttons\":[" + buttons +
         "],\"owner\":" +
         Json(std::string(!owner ? "none" : owner == progress ? "progress" : "other")) +
         ",\"progress\":" + (progress ? ProgressJson(progress) : std::string("null")) +
         ",\"above_progress\":" + (progress ? Json(IsAbove(box, progress)) : std::string("null")) +
         ",\"expected\":" + Json(expected) + ",\"answer\":" + Json(step.button) + "}");
    if (step.hold) {
      Emit("{\"event\":\"hold\",\"index\":" + std::to_string(boxes) + "}");
      WaitForInputLine();
    }
    ++boxes;
    if (!step.folder.empty()) SelectFolder(box, step.folder);
    for (const Button* button : present) {
      if (step.button == button->name) {
        DWORD_PTR result;
        SendMessageTimeoutW(Control(box, button->id), BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 5000,
                            &result);
        return;
      }
    }
    // The named button is missing: close the box the way Escape would.
    PostMessageW(box, WM_COMMAND, IDCANCEL, 0);
  }

  // Selects `path` in the program's folder browser once its tree is filled:
  // the message carries a pointer, so the text is written into the program's
  // own memory first.
  void SelectFolder(HWND browser, const std::string& path) {
    if (!process) return;
    HWND tree = FindWindowExW(browser, nullptr, L"SysTreeView32", nullptr);
    DWORD_PTR count = 0;
    for (int i = 0; i < 250 && tree; ++i) {
      SendMessageTimeoutW(tree, TVM_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, 1000, &count);
      if (count > 1) break;
      Idle(20);
    }
    void* remote = VirtualAllocEx(process, nullptr, path.size() + 1, MEM_COMMIT | MEM_RESERVE,
                                  PAGE_READWRITE);
    if (!remote) return;
    if (!WriteProcessMemory(process, remote, path.c_str(), path.size() + 1, nullptr)) return;
    // Wine's browser answers 0 whether or not the folder was selected, and
    // takes a selection only once it has finished filling itself: the
    // selection is made again a few times.
    for (int i = 0; i < 10; ++i) {
      DWORD_PTR result;
      SendMessageTimeoutA(browser, BFFM_SETSELECTIONA, TRUE, LPARAM(remote), SMTO_ABORTIFHUNG,
                          5000, &result);
      Idle(50);
    }
    // Left allocated: the browser may still read it until it closes.
  }

  void Scan() {
    for (HWND window : Windows()) {
      std::wstring className = ClassName(window);
      if (className != L"#32770") {
        if (!Seen(window) && IsWindowVisible(window)) {
          handled.push_back(window);
          Emit("{\"event\":\"window\",\"class\":" + Json(className) +
               ",\"title\":" + Json(WindowText(window)) + "}");
        }
        continue;
      }
      if (IsProgressWindow(window)) {
        // The hooks report every text exactly; polling would add half-done states.
        if (hooks)
          progress = window;
        else
          NoteProgress(window);
      } else if (!Seen(window) && IsWindowVisible(window)) {
        Answer(window);
      }
    }
  }

  bool Done() {
    if (process && WaitForSingleObject(process, 0) == WAIT_OBJECT_0) return true;
    return options.count >= 0 && boxes >= options.count;
  }

  int Run() {
    deadline = GetTickCount() + options.timeoutMs;
    RECT workArea;
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &workArea, 0);
    Emit("{\"event\":\"start\",\"pid\":" + std::to_string(options.pid) +
         ",\"workarea\":" + Json(workArea) + ",\"screen\":[" +
         std::to_string(GetSystemMetrics(SM_CXSCREEN)) + "," +
         std::to_string(GetSystemMetrics(SM_CYSCREEN)) + "],\"hooks\":" + Json(hooks) + "}");
    for (;;) {
      Scan();
      if (Done()) break;
      if (GetTickCount() > deadline) {
        Emit("{\"event\":\"timeout\"}");
        if (process && !options.commandLine.empty()) TerminateProcess(process, 1000);
        return 3;
      }
      Idle(kPollMs, process);
    }
    if (!options.commandLine.empty()) {
      DWORD code = 0;
      GetExitCodeProcess(process, &code);
      Emit("{\"event\":\"exit\",\"code\":" + std::to_string(code) +
           ",\"unused\":" + std::to_string(options.steps.size() - nextStep) + "}");
    }
    return 0;
  }
};

std::string FromHex(const std::string& hex);

bool ParseStep(const std::string& text, Step* step) {
  std::string name = text;
  size_t plus = text.find('+');
  if (plus != std::string::npos) {
    name = text.substr(0, plus);
    const std::string suffix = text.substr(plus);
    if (suffix == "+hold") {
      step->hold = true;
    } else if (suffix.rfind("+folder=", 0) == 0) {
      step->folder = FromHex(suffix.substr(8));
      if (step->folder.empty()) return false;
    } else {
      return false;
    }
  }
  for (const Button& button : kButtons) {
    if (name == button.name) {
      step->button = name;
      return true;
    }
  }
  return false;
}

std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes += char(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16));
  return bytes;
}

// The program's command line is whatever follows " -- " in ours, untouched.
std::wstring CommandAfterSeparator() {
  std::wstring line = GetCommandLineW();
  size_t at = line.find(L" -- ");
  return at == std::wstring::npos ? std::wstring() : line.substr(at + 4);
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--") {
      options->commandLine = CommandAfterSeparator();
      return !options->commandLine.empty();
    }
    if (i + 1 >= argc) return false;
    std::string value = argv[++i];
    if (arg == "--answer") {
      Step step;
      if (!ParseStep(value, &step)) return false;
      options->steps.push_back(step);
    } else if (arg == "--timeout") {
      options->timeoutMs = DWORD(std::atof(value.c_str()) * 1000);
    } else if (arg == "--pid") {
      options->pid = DWORD(std::strtoul(value.c_str(), nullptr, 10));
    } else if (arg == "--hold-progress") {
      options->holdTexts.push_back(FromHex(value));
    } else if (arg == "--count") {
      options->count = std::atoi(value.c_str());
    } else {
      return false;
    }
  }
  return options->pid != 0;
}

Watcher* activeWatcher = nullptr;

LRESULT CALLBACK ReceiverProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_COPYDATA) {
    const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    if (data->dwData == kHookReportTag && data->cbData == sizeof(HookReport) && activeWatcher)
      activeWatcher->OnHook(*static_cast<const HookReport*>(data->lpData));
    return TRUE;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

// A message-only window for the hooks' reports; its handle goes to the program
// through the environment it inherits.
bool CreateReceiver() {
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = ReceiverProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"boxbot-receiver";
  RegisterClassW(&windowClass);
  HWND receiver = CreateWindowExW(0, L"boxbot-receiver", L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                  nullptr, windowClass.hInstance, nullptr);
  if (!receiver) return false;
  wchar_t value[32];
  std::swprintf(value, 32, L"%llx", static_cast<unsigned long long>(uintptr_t(receiver)));
  return SetEnvironmentVariableW(kReceiverVariable, value) != 0;
}

// Hooks boxhook.dll (beside boxbot) onto the program's thread before it runs.
bool InstallHooks(DWORD thread) {
  wchar_t path[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dll(path, length);
  dll = dll.substr(0, dll.find_last_of(L'\\') + 1) + L"boxhook.dll";
  HMODULE module = LoadLibraryW(dll.c_str());
  if (!module) return false;
  struct Hook {
    int type;
    const char* procedure;
  };
  const Hook hooks[] = {{WH_CALLWNDPROC, "BoxhookCallWnd"},
                        {WH_CALLWNDPROCRET, "BoxhookCallWndRet"},
                        {WH_CBT, "BoxhookCbt"}};
  for (const Hook& hook : hooks) {
    auto procedure =
        reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(module, hook.procedure)));
    if (!procedure || !SetWindowsHookExW(hook.type, procedure, module, thread)) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Watcher watcher;
  if (!ParseOptions(argc, argv, &watcher.options)) {
    std::fprintf(stderr,
                 "usage: boxbot [--timeout S] [--answer BUTTON[+hold]]... [--hold-progress HEX]... "
                 "(--pid PID [--count N] | -- PROGRAM [ARGS...])\n");
    return 2;
  }
  activeWatcher = &watcher;
  Options& options = watcher.options;
  if (!options.commandLine.empty()) {
    bool receiver = CreateReceiver();
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info;
    std::wstring line = options.commandLine;
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                        nullptr, &startup, &info)) {
      Emit("{\"event\":\"error\",\"message\":\"cannot start the program\",\"code\":" +
           std::to_string(GetLastError()) + "}");
      return 2;
    }
    watcher.hooks = receiver && InstallHooks(info.dwThreadId);
    ResumeThread(info.hThread);
    CloseHandle(info.hThread);
    watcher.process = info.hProcess;
    options.pid = info.dwProcessId;
  } else {
    watcher.process = OpenProcess(SYNCHRONIZE, FALSE, options.pid);
  }
  return watcher.Run();
}
