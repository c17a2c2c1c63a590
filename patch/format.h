// Numbers of the formats that the installer reads and the builder writes, in
// one place for both programs.
#pragma once

#include <stdint.h>

// The patch file: header texts ("key:text\0"), then this magic, then the records.
constexpr uint8_t kPatchMagic[4] = {'D', 'I', 'F', '0'};

// CRCs that the installer's search for one record group takes (old and new
// CRCs of its records, each once); further ones are not looked for.
constexpr int kCrcListMax = 100;

// The installer program: its payload is the language-neutral RT_RCDATA
// resource of this id.
constexpr uint16_t kPayloadResourceId = 100;

// The switch area: offsets 960-1023 of the program's header, a NUL-terminated
// text that the packer may preset (it must begin with a space).
constexpr uint32_t kSwitchAreaOffset = 960;
constexpr uint32_t kSwitchAreaSize = 64;

// The driver command line that the installer builds from the payload's entry
// names (single spaces, " /s" after the first when silent), NUL included.
constexpr uint32_t kDriverCommandLineSize = 300;
