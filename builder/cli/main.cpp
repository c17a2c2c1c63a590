// selfpatch: builds, packs, inspects and verifies update installers.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "builder/cli/command.h"
#include "builder/host.h"

namespace {

std::vector<Command>& Commands() {
  static std::vector<Command> commands;
  return commands;
}

// By name: the order in which the commands registered follows the linker's
// order of static initialisation, which differs between systems.
std::vector<Command> CommandsByName() {
  std::vector<Command> commands = Commands();
  std::sort(commands.begin(), commands.end(),
            [](const Command& a, const Command& b) { return std::strcmp(a.name, b.name) < 0; });
  return commands;
}

void PrintUsage(FILE* out) {
  std::fprintf(out, "usage: selfpatch COMMAND [OPTIONS]\n\ncommands:\n");
  for (const Command& command : CommandsByName())
    std::fprintf(out, "  %-10s %s\n", command.name, command.summary);
  std::fprintf(out, "\nRun 'selfpatch COMMAND --help' for a command's options.\n");
}

}  // namespace

void RegisterCommand(const Command& command) { Commands().push_back(command); }

int main(int systemArgc, char** systemArgv) {
  PrepareConsole();
  std::vector<std::string> arguments = Utf8Arguments(systemArgc, systemArgv);
  std::vector<char*> pointers;
  for (std::string& argument : arguments) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  const int argc = int(arguments.size());
  char** argv = pointers.data();
  if (argc < 2) {
    PrintUsage(stderr);
    return 2;
  }
  if (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") ||
      !std::strcmp(argv[1], "help")) {
    PrintUsage(stdout);
    return 0;
  }
  for (const Command& command : Commands())
    if (!std::strcmp(argv[1], command.name)) return command.run(argc - 1, argv + 1);
  std::fprintf(stderr, "selfpatch: unknown command '%s'\n", argv[1]);
  PrintUsage(stderr);
  return 2;
}
