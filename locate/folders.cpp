#include "locate/folders.h"

#include <string.h>

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/' || c == ':'; }

// The list's last byte is never written, so the text always stays terminated.
constexpr size_t kListTextMax = kCandidateFoldersSize - 1;

}  // namespace

bool NextFolder(const char*& cursor, char* out) {
  while (*cursor == ';') ++cursor;
  if (*cursor == '\0') return false;
  size_t length = 0;
  while (cursor[length] != ';' && cursor[length] != '\0' && length < kFolderEntrySize - 1) {
    out[length] = cursor[length];
    ++length;
  }
  out[length] = '\0';
  cursor += length;
  while (*cursor == ';') ++cursor;
  return true;
}

void AddFolderFront(const FolderList& folders, const char* folder) {
  const size_t length = strlen(folder);
  if (length == 0 || length >= kPathSize) return;
  char* list = folders.text;

  char entry[kFolderEntrySize];
  const char* cursor = list;
  for (bool first = true;; first = false) {
    char* begin = first ? list : const_cast<char*>(cursor);
    if (!NextFolder(cursor, entry)) break;
    if (!folders.system->equalNoCase(entry, folder)) continue;
    if (first) return;
    memmove(begin, cursor, strlen(cursor) + 1);
    break;
  }

  memmove(list + length + 1, list, kListTextMax - 1 - length);
  memcpy(list, folder, length);
  list[length] = ';';
}

bool IsTrailByte(const PathSystem& system, const char* start, const char* at) {
  size_t leadRun = 0;
  for (const char* p = at; p > start && system.isLeadByte(static_cast<unsigned char>(p[-1]));
       --p) {
    ++leadRun;
  }
  return leadRun % 2 == 1;
}

const char* FindFileNamePart(const PathSystem& system, const char* path) {
  for (const char* p = path + strlen(path); p > path; --p) {
    if (IsSeparator(p[-1]) && !IsTrailByte(system, path, p - 1)) return p;
  }
  return path;
}

char* FindFileNamePart(const PathSystem& system, char* path) {
  return const_cast<char*>(FindFileNamePart(system, static_cast<const char*>(path)));
}

void AddParentFolder(const FolderList& list, char* path) {
  char* namePart = FindFileNamePart(*list.system, path);
  if (namePart - path < 2) return;
  char* separator = namePart - 1;
  const char saved = *separator;
  *separator = '\0';
  AddFolderFront(list, path);
  *separator = saved;
}

bool EnsureTrailingSeparator(const PathSystem& system, char* path, size_t capacity) {
  const size_t length = strlen(path);
  if (length == 0) return true;
  char* last = path + length - 1;
  if (IsSeparator(*last) && !IsTrailByte(system, path, last)) return true;
  if (length + 2 > capacity) return false;
  last[1] = '\\';
  last[2] = '\0';
  return true;
}

bool AddIfDirectory(const FolderList& list, const char* path) {
  if (!list.system->isDirectory(path)) return false;
  AddFolderFront(list, path);
  return true;
}

size_t AddLongestExistingPrefix(const FolderList& list, const char* text, size_t length) {
  if (length >= kPathSize) length = kPathSize - 1;
  char work[kPathSize];
  memcpy(work, text, length);
  work[length] = '\0';
  for (size_t i = length; i >= 3; --i) {
    const char c = work[i];
    if (c != '\\' && c != '/' && c != '\0') continue;
    work[i] = '\0';
    if (AddIfDirectory(list, work)) return i;
  }
  return 0;
}

namespace {

// The start of the next embedded path at or after `p`: the character before a
// ':' (a drive letter) or a "\\" (a network path). Null at the end of the text.
const char* FindEmbeddedPath(const char* p) {
  for (; *p != '\0'; ++p) {
    if (p[1] == ':' || (p[0] == '\\' && p[1] == '\\')) return p;
  }
  return nullptr;
}

// A path in quotes ends at the closing quote, any other at a space.
char PathTerminator(const char* text, const char* p) {
  if (p > text && p[-1] == '"') return '"';
  if (p > text && p[-1] == '\'') return '\'';
  return ' ';
}

}  // namespace

bool AddFoldersFromText(const FolderList& list, const char* text) {
  if (AddIfDirectory(list, text)) return true;
  if (AddLongestExistingPrefix(list, text, strlen(text)) != 0) return true;

  int added = 0;
  for (const char* p = FindEmbeddedPath(text); p != nullptr; p = FindEmbeddedPath(p)) {
    const char* end = strchr(p, PathTerminator(text, p));
    const size_t pieceLength = end ? size_t(end - p) : strlen(p);
    const size_t found = AddLongestExistingPrefix(list, p, pieceLength);
    if (found == 0) {
      ++p;
      continue;
    }
    ++added;
    // The found folder may reach the end of the text: never step past the NUL.
    if (p[found] == '\0') break;
    p += found + 1;
  }
  return added != 0;
}

bool MakeNewFilePath(const FolderList& list, const char* name, char* out) {
  out[0] = '\0';
  const char* cursor = list.text;
  NextFolder(cursor, out);
  if (!EnsureTrailingSeparator(*list.system, out, kPathSize)) return false;
  const size_t folderLength = strlen(out);
  const size_t nameLength = strlen(name);
  if (folderLength + nameLength >= kPathSize) {
    out[0] = '\0';
    return false;
  }
  memcpy(out + folderLength, name, nameLength + 1);
  return true;
}
