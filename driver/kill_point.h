// Kill points: a test build of the installer (SP_KILLPOINTS) numbers each of its
// calls that change the file system and can end itself right before one of
// them, so that tests see what an update interrupted at that moment leaves on
// disk, or wait there while a test changes the files under it. The shipped
// program has no such hook: the macro is empty there.
//
//   SP_KILL_AT=k     ends the process with kKillPointExitCode before the k-th call
//   SP_KILL_LOG=P    appends "k change path" for each call reached to the file P
//   SP_PAUSE_AT=k    before the k-th call, creates the file SP_PAUSE_FILE and
//                    waits until it is deleted (two minutes at most)
#pragma once

constexpr unsigned kKillPointExitCode = 0xDEAD;

#ifdef SP_KILLPOINTS
void PassKillPoint(const char* change, const char* path);
#define KILL_POINT(change, path) PassKillPoint(change, path)
#else
#define KILL_POINT(change, path) ((void)0)
#endif
