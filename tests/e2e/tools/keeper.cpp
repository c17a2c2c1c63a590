// Keeps a hidden window alive for the whole test session, so that Wine's helper
// processes start once, outside the tests, instead of inside the first test.
#include <windows.h>

int main() {
  HWND window = CreateWindowExA(0, "STATIC", "selfpatch-test-keeper", 0, 0, 0, 0, 0,
                                nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
  if (!window) return 1;
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
  return 0;
}
