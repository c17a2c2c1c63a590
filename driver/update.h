// One update run, from the driver command line to the exit code.
#pragma once

// Runs the update that `commandLine` describes (cut in place) and returns the
// process exit code (driver/exit_codes.h). `instance` is the HINSTANCE.
int RunUpdate(void* instance, char* commandLine);

// Runs the post-update commands one after another, waiting for each; a command
// that does not start is passed over.
void RunPostCommands(char* text);
