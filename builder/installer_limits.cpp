#include "builder/installer_limits.h"

namespace {

constexpr uint64_t kMib = uint64_t(1) << 20;

// "536870913 bytes (512.0 MiB)": tenths cut, never rounded up to a limit.
std::string Size(uint64_t bytes) {
  const uint64_t tenths = bytes / kMib * 10 + bytes % kMib * 10 / kMib;
  return std::to_string(bytes) + " bytes (" + std::to_string(tenths / 10) + "." +
         std::to_string(tenths % 10) + " MiB)";
}

const char kSplit[] =
    "; split the update: one installer per old version (a project whose [folders] old lists "
    "only that version), or fewer full-content fallbacks ([options] full = false, or "
    "full = false for the largest files)";

bool WithinTogether(const InstallerLoad& load) {
  uint64_t room = kInstallerCarryLimit;
  for (uint64_t part : {load.patchBytes, load.payloadBytes, load.largestFileBytes}) {
    if (part > room) return false;
    room -= part;
  }
  return true;
}

}  // namespace

std::string InstallerLimitFault(const InstallerLoad& load) {
  const std::string mapped = " is too large for the installer, a 32-bit program that maps it "
                             "whole: at most " + Size(kInstallerMappingLimit);
  if (load.patchBytes > kInstallerMappingLimit)
    return "the patch of " + Size(load.patchBytes) + mapped + kSplit;
  if (load.largestFileBytes > kInstallerMappingLimit)
    return "the largest file, of " + Size(load.largestFileBytes) + "," + mapped +
           "; leave it out of the update and ship it another way";
  if (WithinTogether(load)) return "";
  return "the patch of " + Size(load.patchBytes) + ", the packed payload of " +
         Size(load.payloadBytes) + " and the largest file, of " + Size(load.largestFileBytes) +
         ", are too large together for the installer, a 32-bit program that maps them at "
         "once: at most " + Size(kInstallerCarryLimit) + " together" + kSplit +
         ", or smaller follow-up programs";
}
