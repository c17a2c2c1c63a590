// Kill and fail points: a test build of the installer (SP_KILLPOINTS) numbers
// each of its calls that change the file system, and those that read files,
// mappings, the registry and the pending renames, in the order a run reaches
// them. It can end itself right before one of them, so that tests see what an
// update interrupted at that moment leaves on disk; make one of them fail as if
// the system had refused it, so that tests see the error paths; or wait there
// while a test changes the files under it. The shipped program has no such
// hook: the macros are the bare calls there.
//
//   SP_KILL_AT=k      ends the process with kKillPointExitCode before the k-th call
//   SP_FAIL_AT=k      the k-th call is not made: it returns its failure value with
//                     the last error SP_FAIL_ERROR (default 5, access denied)
//   SP_KILL_LOG=P     appends "k kind call path" for each call reached to the file
//                     P; kind is "change" or "read"
//   SP_MESSAGE_LOG=P  appends each message the run puts before the user (silent
//                     or not) to the file P, one a line
//   SP_PAUSE_AT=k     before the k-th call, creates the file SP_PAUSE_FILE and
//                     waits until it is deleted (two minutes at most)
//
// CHANGE_CALL(name, path, failed, call) and READ_CALL(...) stand for `call`:
// `failed` is what the call returns when it fails (FALSE, INVALID_HANDLE_VALUE,
// or FailPointError() for the registry's functions, which return their error).
// MESSAGE_POINT(format, args, argCount) logs a message about to be shown.
#pragma once

constexpr unsigned kKillPointExitCode = 0xDEAD;

#ifdef SP_KILLPOINTS
enum class PointKind { Change, Read };

// True when the call is to fail; the last error is set then.
bool PassKillPoint(PointKind kind, const char* call, const char* path);
long FailPointError();

struct FormatArg;
void LogMessage(const char* format, const FormatArg* args, int argCount);

#define CHANGE_CALL(name, path, failed, ...) \
  (PassKillPoint(PointKind::Change, name, path) ? (failed) : (__VA_ARGS__))
#define READ_CALL(name, path, failed, ...) \
  (PassKillPoint(PointKind::Read, name, path) ? (failed) : (__VA_ARGS__))
#define MESSAGE_POINT(format, args, argCount) LogMessage(format, args, argCount)
#else
#define CHANGE_CALL(name, path, failed, ...) (__VA_ARGS__)
#define READ_CALL(name, path, failed, ...) (__VA_ARGS__)
#define MESSAGE_POINT(format, args, argCount) ((void)0)
#endif
