// What one installer can carry. The installer is a 32-bit program: the system
// maps its whole image, the packed payload included, and the run maps the
// unpacked patch whole in one piece, then beside it each file it reads or
// writes, one at a time, all within the 2 GiB of address space that a 32-bit
// program has. bench/installer_limit.py runs installers of growing size under
// Wine: the limits are the largest it saw applied (see the README).
#pragma once

#include <cstdint>
#include <string>

// The largest unpacked patch, and the largest file: each is mapped in one
// piece, which must find a free range of its whole size.
constexpr uint64_t kInstallerMappingLimit = uint64_t(512) << 20;
// The most that the packed payload (patch and follow-up programs), the
// unpacked patch and the largest file may weigh together: all three are
// mapped at once.
constexpr uint64_t kInstallerCarryLimit = uint64_t(1088) << 20;

// What an installer maps: its packed payload, the patch, and the largest file
// of the product's versions (old or new).
struct InstallerLoad {
  uint64_t patchBytes = 0;
  uint64_t payloadBytes = 0;
  uint64_t largestFileBytes = 0;
};

// Empty when the installer can carry `load`; otherwise the message for the
// author: the sizes, the limit and what to do about it. For a patch not packed
// yet (`selfpatch make`) leave the payload at 0: a patch refused then is
// refused in any installer.
std::string InstallerLimitFault(const InstallerLoad& load);
