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

}  // namespace

std::string PatchLimitFault(uint64_t patchBytes) {
  if (patchBytes <= kInstallerPatchLimit) return "";
  return "the patch of " + Size(patchBytes) + " is too large for the installer, a 32-bit "
         "program that maps it whole: at most " + Size(kInstallerPatchLimit) + kSplit;
}

std::string InstallerLimitFault(uint64_t patchBytes, uint64_t payloadBytes) {
  const std::string patchFault = PatchLimitFault(patchBytes);
  if (!patchFault.empty()) return patchFault;
  if (payloadBytes <= kInstallerCarryLimit - patchBytes) return "";
  return "the patch of " + Size(patchBytes) + " and the packed payload of " + Size(payloadBytes) +
         " are too large together for the installer, a 32-bit program that holds both at "
         "once: at most " + Size(kInstallerCarryLimit) + " together" + kSplit +
         ", or smaller follow-up programs";
}
