// Subcommands of the `selfpatch` tool. Each source file of builder/cli defines
// one command and registers it with a static CommandRegistration.
#pragma once

#include <string>

struct Command {
  const char* name;
  const char* summary;
  int (*run)(int argc, char** argv);  // argv[0] is the command's name
};

void RegisterCommand(const Command& command);

struct CommandRegistration {
  explicit CommandRegistration(const Command& command) { RegisterCommand(command); }
};
