// A stand-in for a running product application: one top-level window of a class
// of its own, and a chosen way of reacting to WM_CLOSE.
//
//   classapp.exe CLASS MODE [MS] [--hold FILE] [--ready FILE] [--life MS]
//
//   close         ends at once on WM_CLOSE (exit code 0)
//   ignore        ignores WM_CLOSE and runs on
//   linger MS     on WM_CLOSE its window goes, the process ends MS later
//   slow MS       on WM_CLOSE the window stays MS more, then the process ends
//   --hold FILE   keeps FILE open without sharing write or delete meanwhile
//   --ready FILE  creates FILE once the window is there
//   --life MS     ends by itself (exit code 3) after MS; 60000 by default, so a
//                 failed test leaves nothing running for long
#include <windows.h>

#include <stdlib.h>
#include <string.h>

namespace {

enum Mode { CloseAtOnce, Ignore, Linger, Slow };

constexpr int kLifeEndCode = 3;

Mode mode = CloseAtOnce;
UINT delayMs = 0;
bool closing = false;

// Ends the process later with exit code 0, from a thread so it works whether
// or not the window is still there.
DWORD WINAPI EndLater(void* ms) {
  Sleep(DWORD(reinterpret_cast<UINT_PTR>(ms)));
  ExitProcess(0);
}

void EndAfter(UINT ms) {
  CreateThread(nullptr, 0, EndLater, reinterpret_cast<void*>(UINT_PTR(ms)), 0, nullptr);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CLOSE:
      if (closing) return 0;
      if (mode == CloseAtOnce) {
        DestroyWindow(window);
        PostQuitMessage(0);
      } else if (mode == Linger) {
        closing = true;
        DestroyWindow(window);
        EndAfter(delayMs);
      } else if (mode == Slow) {
        closing = true;
        EndAfter(delayMs);
      }
      return 0;
    default:
      return DefWindowProcA(window, message, wParam, lParam);
  }
}

bool ParseMode(const char* name) {
  static const struct {
    const char* name;
    Mode mode;
  } modes[] = {{"close", CloseAtOnce}, {"ignore", Ignore}, {"linger", Linger}, {"slow", Slow}};
  for (const auto& entry : modes) {
    if (strcmp(name, entry.name) == 0) {
      mode = entry.mode;
      return true;
    }
  }
  return false;
}

void CALLBACK LifeOver(HWND, UINT, UINT_PTR, DWORD) { ExitProcess(kLifeEndCode); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || !ParseMode(argv[2])) return 2;
  const char* className = argv[1];
  const char* holdPath = nullptr;
  const char* readyPath = nullptr;
  UINT lifeMs = 60000;
  for (int i = 3; i < argc; ++i) {
    if (strcmp(argv[i], "--hold") == 0 && i + 1 < argc) {
      holdPath = argv[++i];
    } else if (strcmp(argv[i], "--ready") == 0 && i + 1 < argc) {
      readyPath = argv[++i];
    } else if (strcmp(argv[i], "--life") == 0 && i + 1 < argc) {
      lifeMs = UINT(strtoul(argv[++i], nullptr, 10));
    } else {
      delayMs = UINT(strtoul(argv[i], nullptr, 10));
    }
  }

  if (holdPath &&
      CreateFileA(holdPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr) ==
          INVALID_HANDLE_VALUE)
    return 4;

  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.lpszClassName = className;
  if (!RegisterClassA(&windowClass)) return 5;
  HWND window = CreateWindowExA(0, className, className, WS_OVERLAPPEDWINDOW, 0, 0, 160, 80,
                                nullptr, nullptr, windowClass.hInstance, nullptr);
  if (!window) return 6;
  SetTimer(nullptr, 0, lifeMs, LifeOver);
  if (readyPath)
    CloseHandle(CreateFileA(readyPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));

  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
  return 0;
}
