// Starts a command line, waits for it and reports its exit code, both printed
// ("exit=N") and as its own exit code. The Unix status of a Wine process is not
// reliable for programs that were terminated, so tests read codes through this.
// Usage: runwait COMMAND-LINE    (everything after runwait's own name, as is)
//        runwait --app PROGRAM COMMAND-LINE
//          starts PROGRAM with exactly COMMAND-LINE (which then need not begin
//          with the program's path)
//        runwait --timeout SECONDS ...
//          ends the program (exit code 259) when it runs longer, and reports
//          "timeout=1" before its exit code
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Cuts the first token off `commandLine`; returns the text after it.
char* SkipToken(char* commandLine) {
  char* p = commandLine;
  if (*p == '"') {
    ++p;
    while (*p && *p != '"') ++p;
    if (*p) ++p;
  } else {
    while (*p && *p != ' ' && *p != '\t') ++p;
  }
  if (*p) *p++ = 0;
  while (*p == ' ' || *p == '\t') ++p;
  return p;
}

char* Unquoted(char* token) {
  if (*token != '"') return token;
  char* end = token + lstrlenA(token) - 1;
  if (end > token && *end == '"') *end = 0;
  return token + 1;
}

}  // namespace

int main() {
  char* command = SkipToken(GetCommandLineA());
  DWORD timeout = INFINITE;
  if (!std::strncmp(command, "--timeout ", 10)) {
    char* seconds = command + 10;
    while (*seconds == ' ') ++seconds;
    command = SkipToken(seconds);
    timeout = DWORD(std::strtoul(seconds, nullptr, 10) * 1000);
  }
  const char* application = nullptr;
  if (!std::strncmp(command, "--app ", 6)) {
    char* path = command + 6;
    while (*path == ' ') ++path;
    command = SkipToken(path);
    application = Unquoted(path);
  }
  if (!*command && !application) {
    std::fprintf(stderr, "usage: runwait COMMAND-LINE\n");
    return 255;
  }
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(application, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    std::printf("start-error=%lu\n", GetLastError());
    return 254;
  }
  if (WaitForSingleObject(process.hProcess, timeout) == WAIT_TIMEOUT) {
    TerminateProcess(process.hProcess, 259);
    WaitForSingleObject(process.hProcess, INFINITE);
    std::printf("timeout=1\n");
  }
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  std::printf("exit=%lu\n", code);
  // The program's processor time (user + kernel), for the benchmarks.
  FILETIME created, ended, kernel, user;
  if (GetProcessTimes(process.hProcess, &created, &ended, &kernel, &user)) {
    const auto ticks = [](const FILETIME& t) { return uint64_t(t.dwHighDateTime) << 32 | t.dwLowDateTime; };
    std::printf("cpu-ms=%llu\n", (unsigned long long)((ticks(kernel) + ticks(user)) / 10000));
  }
  std::fflush(stdout);
  return int(code);
}
