// Starts a command line, waits for it and reports its exit code, both printed
// ("exit=N") and as its own exit code. The Unix status of a Wine process is not
// reliable for programs that were terminated, so tests read codes through this.
// Usage: runwait COMMAND-LINE    (everything after runwait's own name, as is)
#include <windows.h>

#include <cstdio>

namespace {

// The rest of our own command line after the program name.
char* ArgumentsAfterProgramName(char* commandLine) {
  char* p = commandLine;
  if (*p == '"') {
    ++p;
    while (*p && *p != '"') ++p;
    if (*p) ++p;
  } else {
    while (*p && *p != ' ' && *p != '\t') ++p;
  }
  while (*p == ' ' || *p == '\t') ++p;
  return p;
}

}  // namespace

int main() {
  char* command = ArgumentsAfterProgramName(GetCommandLineA());
  if (!*command) {
    std::fprintf(stderr, "usage: runwait COMMAND-LINE\n");
    return 255;
  }
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    std::printf("start-error=%lu\n", GetLastError());
    return 254;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  std::printf("exit=%lu\n", code);
  std::fflush(stdout);
  return int(code);
}
