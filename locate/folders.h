// The candidate folder list and the path rules that the search for installed
// files shares. The list is a NUL-terminated text of entries, each followed by
// ';', most recently added first, so that it can be handed whole to
// SearchPathA as a search path; the installer keeps it in the run's state.
#pragma once

#include <stddef.h>

constexpr size_t kCandidateFoldersSize = 8192;
constexpr size_t kPathSize = 260;         // MAX_PATH, terminator included
constexpr size_t kFolderEntrySize = 256;  // one entry read by NextFolder

// What the path rules need from the system: the double-byte lead-byte test of
// the ANSI code page, the directory test and the locale's case-insensitive
// comparison. The Windows build passes its own over Win32; tests pass theirs.
struct PathSystem {
  bool (*isLeadByte)(unsigned char byte);
  bool (*isDirectory)(const char* path);
  bool (*equalNoCase)(const char* a, const char* b);
};

// A candidate folder list: its text buffer of kCandidateFoldersSize bytes and
// the path rules it follows.
struct FolderList {
  char* text;
  const PathSystem* system;
};

// Reads the next entry at `cursor` into `out` (kFolderEntrySize bytes), at most
// 255 characters of it, and steps past the ';' that follow. False at the end.
bool NextFolder(const char*& cursor, char* out);

// Puts `folder` first in the list; an equal entry elsewhere is moved, an equal
// first entry leaves the list as it is. Folders that cannot be a path (empty,
// or kPathSize characters and more) are not added.
void AddFolderFront(const FolderList& list, const char* folder);

// True when the byte at `at` is the second byte of a double-byte character.
bool IsTrailByte(const PathSystem& system, const char* start, const char* at);

// The first character after the last '\', '/' or ':' of `path`, or `path`.
const char* FindFileNamePart(const PathSystem& system, const char* path);
char* FindFileNamePart(const PathSystem& system, char* path);

// Adds the folder part of a file path to the front of the list.
void AddParentFolder(const FolderList& list, char* path);

// Appends '\' unless `path` is empty or already ends in a separator. False
// (and `path` unchanged) when the buffer of `capacity` bytes has no room.
bool EnsureTrailingSeparator(const PathSystem& system, char* path, size_t capacity);

// Adds `path` to the front of the list when it names an existing directory.
bool AddIfDirectory(const FolderList& list, const char* path);

// Tries the first `length` characters of `text`, then ever shorter prefixes
// ending before a '\' or '/' (at least 3 characters); adds the first existing
// directory. Returns its length, 0 if none.
size_t AddLongestExistingPrefix(const FolderList& list, const char* text, size_t length);

// Adds every folder path found in free-form text (a folder, a program path,
// an icon reference, a command line). True if at least one was added.
bool AddFoldersFromText(const FolderList& list, const char* text);

// out (kPathSize bytes) = first entry of the list, a separator, then `name`;
// the bare name when the list is empty. False when the result does not fit.
bool MakeNewFilePath(const FolderList& list, const char* name, char* out);
