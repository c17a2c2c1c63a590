// What the tool needs from the system it runs on, where Linux and Windows
// differ: host_posix.cpp and host_win32.cpp. Strings are UTF-8 on both.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// The characters that end a folder name in a path given on the command line.
extern const char kPathSeparators[];

// The command line's arguments as UTF-8 (on Windows read as UTF-16, whatever
// the system's code page), argv[0] first.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// Prepares the standard streams for UTF-8 output (a Windows console shows it
// through its UTF-8 code page for as long as the tool runs) and keeps the
// system from showing error boxes in a build pipeline.
void PrepareConsole();

// The file's last-write time as a FILETIME (100 ns units since 1601), or 0
// when it cannot be read.
uint64_t LastWriteFileTime(const std::filesystem::path& path);

// Whether standard error is a terminal (a console on Windows), where progress
// may be shown.
bool ErrorStreamIsTerminal();

// Asks the system to back the `bytes` from `start` (aligned to 2 MiB) with large
// pages: the delta encoder's tables are read and written at random places, and
// with small pages nearly every access misses the processor's address cache. A
// hint only; where the system offers nothing of the kind it does nothing.
void AdviseLargePages(void* start, size_t bytes);

// Hands the memory the allocator holds free back to the system. The tool
// frees blocks of megabytes at a time (files read whole, encoder tables, record
// bodies); the C library keeps freed blocks of that size for reuse, in one pool
// per thread, so that without this the peak would be several times what is in
// use at any moment.
void ReleaseFreeMemory();
