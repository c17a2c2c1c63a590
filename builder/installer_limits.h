// What one installer can carry. The installer is a 32-bit program: the system
// maps its whole image, the packed payload included, and the run maps the
// unpacked patch whole in one piece, then beside it each file it reads or
// writes, all within the 2 GiB of address space that a 32-bit program has.
// bench/installer_limit.py runs installers of growing size under Wine: the
// limits are the largest it saw applied (files of 64 MiB mapped beside).
#pragma once

#include <cstdint>
#include <string>

// The largest unpacked patch: the one mapping of the run that must find a
// free range of its whole size.
constexpr uint64_t kInstallerPatchLimit = uint64_t(512) << 20;
// The most that the packed payload (patch and follow-up programs) and the
// unpacked patch may weigh together.
constexpr uint64_t kInstallerCarryLimit = uint64_t(1024) << 20;

// Empty when an installer whose packed payload weighs `payloadBytes` can apply
// a patch of `patchBytes`; otherwise the message for the author: the sizes,
// the limit and what to do about it.
std::string InstallerLimitFault(uint64_t patchBytes, uint64_t payloadBytes);

// For a patch not packed yet (`selfpatch make`): empty when some installer
// can carry it, that is when it fits with a payload packed to nothing;
// otherwise the message, as above.
std::string PatchLimitFault(uint64_t patchBytes);
